#include "LogArchive.h"

#include "FileNamePart.h"
#include "FolderLevels.h"
#include "SafeLogFile.h"
#include "SystemLibrary.h"
#include "UniqueResource.h"

#include <windows.h>
#include <fci.h>
#include <fdi.h>
#include <ntsecapi.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

namespace LogUtils {

namespace {

using orn::fileNamePart;

// The extension is the file name from its last dot on; a name without a dot
// gets the new text appended. False when the result would not fit MAX_PATH.
bool replaceExtension(const wchar_t* path, const wchar_t* extension, wchar_t (&out)[MAX_PATH])
{
    const wchar_t* name = fileNamePart(path);
    const wchar_t* dot = std::wcsrchr(name, L'.');
    const size_t stem = dot ? static_cast<size_t>(dot - path) : std::wcslen(path);
    const size_t tail = std::wcslen(extension);
    if (stem + tail >= MAX_PATH)
        return false;
    std::wmemcpy(out, path, stem);
    std::wmemcpy(out + stem, extension, tail + 1);
    return true;
}

template <size_t N>
bool toNarrow(const wchar_t* text, size_t length, UINT codePage, char (&out)[N])
{
    if (length == 0) {
        out[0] = '\0';
        return true;
    }
    const int written = WideCharToMultiByte(codePage, 0, text, static_cast<int>(length), out,
                                            static_cast<int>(N) - 1, nullptr, nullptr);
    if (written <= 0)
        return false;
    out[written] = '\0';
    return true;
}

// Cabinet.dll's compression and extraction interfaces, by the ordinals
// Windows gives them; loaded by the first rotation.
struct CabinetLibrary {
    orn::SystemLibrary library{L"cabinet.dll"};
    decltype(&FCICreate) create = library.procedure<decltype(&FCICreate)>(MAKEINTRESOURCEA(10));
    decltype(&FCIAddFile) addFile = library.procedure<decltype(&FCIAddFile)>(MAKEINTRESOURCEA(11));
    decltype(&FCIFlushCabinet) flush =
        library.procedure<decltype(&FCIFlushCabinet)>(MAKEINTRESOURCEA(13));
    decltype(&FCIDestroy) destroy = library.procedure<decltype(&FCIDestroy)>(MAKEINTRESOURCEA(14));
    decltype(&FDICreate) createReader =
        library.procedure<decltype(&FDICreate)>(MAKEINTRESOURCEA(20));
    decltype(&FDICopy) extract = library.procedure<decltype(&FDICopy)>(MAKEINTRESOURCEA(22));
    decltype(&FDIDestroy) destroyReader =
        library.procedure<decltype(&FDIDestroy)>(MAKEINTRESOURCEA(23));
};

const CabinetLibrary* cabinetLibrary()
{
    // Never unloaded: at a program's exit a pool writer may still be
    // rotating while the destructors run. (An unloading module has no writer
    // left: the pool holds it while one runs.)
    static const CabinetLibrary& cabinet = *new CabinetLibrary;
    return cabinet.create && cabinet.addFile && cabinet.flush && cabinet.destroy &&
                   cabinet.createReader && cabinet.extract && cabinet.destroyReader
               ? &cabinet
               : nullptr;
}

// A rotation's temporaries, the cabinet itself until it is whole among them:
//   "C:\Logs\zuAgent.log" => "C:\Logs\zuAgent.~cab" 32 hexadecimal digits ".tmp"
// The stem ties them to their log; the digits are 128 random bits.
constexpr wchar_t temporaryMark[] = L".~cab";
constexpr size_t randomDigits = 32;

// One cabinet holding one folder with one file, written through Cabinet.dll
// under a temporary name and published whole under its final one. The
// library opens nothing by name: the names it is given are tokens for files
// this writer made and holds.
class CabinetWriter {
public:
    // prefix: "<folder>\<stem>.~cab", where the temporaries are made.
    explicit CabinetWriter(const wchar_t* prefix);
    ~CabinetWriter();
    CabinetWriter(const CabinetWriter&) = delete;
    CabinetWriter& operator=(const CabinetWriter&) = delete;

    // The file read through source, from its start, compressed with MSZIP
    // under the file name of sourcePath.
    bool add(const char* sourcePath, HANDLE source);
    // Writes the cabinet out and releases the library; true when the
    // cabinet file is complete.
    bool finish();
    // Renames the complete cabinet to path, never replacing an entry there.
    bool publish(const wchar_t* path);
    // Removes the cabinet, published or not, through its handle.
    void discard();

private:
    static FNFCIFILEPLACED(filePlaced);
    static FNFCIALLOC(allocate);
    static FNFCIFREE(release);
    static FNFCIOPEN(open);
    static FNFCIREAD(read);
    static FNFCIWRITE(write);
    static FNFCICLOSE(close);
    static FNFCISEEK(seek);
    static FNFCIDELETE(remove);
    static FNFCIGETTEMPFILE(temporaryFileName);
    static FNFCIGETNEXTCABINET(nextCabinet);
    static FNFCISTATUS(status);
    static FNFCIGETOPENINFO(openInfo);

    // A file of the writer's, and the name the library knows it by.
    struct Temporary {
        char token[9 + randomDigits];  // "~cab", the digits, ".tmp"
        orn::unique_file file;
    };
    Temporary* findTemporary(const char* token);
    bool createTemporary(Temporary& temporary);
    static INT_PTR handOut(HANDLE file, int oflag);

    const wchar_t* prefix_;
    HFCI context_ = nullptr;
    CCAB parameters_;
    ERF error_;
    Temporary cabinet_;
    bool cabinetOpened_ = false;  // handed to the library
    bool published_ = false;
    HANDLE source_ = nullptr;  // during add only
    // Made beside the cabinet, at names nobody can foresee, and removed
    // through their handles: a shared temporary folder would let any
    // account plant a file or a link at the next name.
    Temporary temporaries_[8];
};

CabinetWriter::CabinetWriter(const wchar_t* prefix)
    : prefix_(prefix), parameters_(), error_(), cabinet_()
{
    // Cabinets never grow past 1 MiB; larger content fails instead of
    // spilling into a continuation cabinet.
    parameters_.cb = 0x100000;
    parameters_.cbFolderThresh = 0xFFFFFFFF;
    parameters_.iCab = 1;
    const CabinetLibrary* cabinetCalls = cabinetLibrary();
    if (!cabinetCalls || !createTemporary(cabinet_))
        return;
    lstrcpynA(parameters_.szCab, cabinet_.token, sizeof parameters_.szCab);
    context_ = cabinetCalls->create(&error_, filePlaced, allocate, release, open, read, write,
                                    close, seek, remove, temporaryFileName, &parameters_, this);
}

CabinetWriter::~CabinetWriter()
{
    finish();
    // Those the library did not remove itself, after a failure, and the
    // cabinet unless it was published.
    for (Temporary& temporary : temporaries_) {
        if (temporary.file)
            deleteLogFileOnClose(temporary.file.get());
    }
    if (!published_)
        discard();
}

bool CabinetWriter::add(const char* sourcePath, HANDLE source)
{
    if (!context_)
        return false;
    source_ = source;
    const bool added =
        cabinetLibrary()->addFile(context_, const_cast<char*>(sourcePath),
                                  const_cast<char*>(fileNamePart(sourcePath)), FALSE, nextCabinet,
                                  status, openInfo, tcompTYPE_MSZIP) == TRUE;
    source_ = nullptr;
    return added;
}

bool CabinetWriter::finish()
{
    if (!context_)
        return false;
    const CabinetLibrary* cabinetCalls = cabinetLibrary();
    const bool flushed = cabinetCalls->flush(context_, FALSE, nextCabinet, status) == TRUE;
    cabinetCalls->destroy(context_);
    context_ = nullptr;
    return flushed && cabinetOpened_;
}

bool CabinetWriter::publish(const wchar_t* path)
{
    published_ = cabinet_.file && orn::renameWithoutReplacing(cabinet_.file.get(), nullptr, path);
    return published_;
}

void CabinetWriter::discard()
{
    if (cabinet_.file)
        deleteLogFileOnClose(cabinet_.file.get());
    cabinet_.file.reset();
}

FNFCIFILEPLACED(CabinetWriter::filePlaced)
{
    (void)pccab, (void)pszFile, (void)cbFile, (void)fContinuation, (void)pv;
    return 0;
}

FNFCIALLOC(CabinetWriter::allocate)
{
    return HeapAlloc(GetProcessHeap(), 0, cb);
}

FNFCIFREE(CabinetWriter::release)
{
    HeapFree(GetProcessHeap(), 0, memory);
}

CabinetWriter::Temporary* CabinetWriter::findTemporary(const char* token)
{
    for (Temporary& temporary : temporaries_) {
        if (temporary.file && lstrcmpiA(temporary.token, token) == 0)
            return &temporary;
    }
    return nullptr;
}

// The library closes the descriptor it is given; the writer keeps the
// original handle, to remove the file through it.
INT_PTR CabinetWriter::handOut(HANDLE file, int oflag)
{
    orn::unique_handle runtimeCopy;
    if (!DuplicateHandle(GetCurrentProcess(), file, GetCurrentProcess(), runtimeCopy.put(), 0,
                         FALSE, DUPLICATE_SAME_ACCESS))
        return -1;
    // A copy shares the file position: a file opened again starts at its
    // beginning, as a fresh open would.
    SetFilePointer(runtimeCopy.get(), 0, nullptr, FILE_BEGIN);
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(runtimeCopy.get()),
                                           (oflag & _O_APPEND) | _O_BINARY);
    if (descriptor != -1)
        runtimeCopy.release();
    return descriptor;
}

FNFCIOPEN(CabinetWriter::open)
{
    (void)err, (void)pmode;
    auto* writer = static_cast<CabinetWriter*>(pv);
    if (Temporary* temporary = writer->findTemporary(pszFile))
        return handOut(temporary->file.get(), oflag);
    // The cabinet, once, to be created.
    if (!(oflag & _O_CREAT) || writer->cabinetOpened_ || !writer->cabinet_.file ||
        lstrcmpiA(pszFile, writer->cabinet_.token) != 0)
        return -1;
    const INT_PTR descriptor = handOut(writer->cabinet_.file.get(), oflag);
    writer->cabinetOpened_ = descriptor != -1;
    return descriptor;
}

FNFCIREAD(CabinetWriter::read)
{
    (void)err, (void)pv;
    return static_cast<UINT>(::_read(static_cast<int>(hf), memory, cb));
}

FNFCIWRITE(CabinetWriter::write)
{
    (void)err, (void)pv;
    return static_cast<UINT>(::_write(static_cast<int>(hf), memory, cb));
}

FNFCICLOSE(CabinetWriter::close)
{
    (void)err, (void)pv;
    return ::_close(static_cast<int>(hf));
}

FNFCISEEK(CabinetWriter::seek)
{
    (void)err, (void)pv;
    return ::_lseek(static_cast<int>(hf), dist, seektype);
}

FNFCIDELETE(CabinetWriter::remove)
{
    (void)err;
    Temporary* temporary = static_cast<CabinetWriter*>(pv)->findTemporary(pszFile);
    if (!temporary)
        return -1;
    const bool removed = deleteLogFileOnClose(temporary->file.get());
    temporary->file.reset();
    return removed ? 0 : -1;
}

bool CabinetWriter::createTemporary(Temporary& temporary)
{
    // 128 random bits: a name nobody can foresee, and if one is taken all
    // the same, the exclusive create refuses it and another is drawn.
    const size_t prefix = std::wcslen(prefix_);
    if (prefix + randomDigits + 4 >= MAX_PATH)
        return false;
    for (int attempt = 0; attempt < 4; ++attempt) {
        unsigned char random[randomDigits / 2];
        if (!RtlGenRandom(random, sizeof random))
            return false;
        wchar_t path[MAX_PATH];
        std::wmemcpy(path, prefix_, prefix);
        std::memcpy(temporary.token, "~cab", 4);
        for (size_t i = 0; i < sizeof random; ++i) {
            static const char digits[] = "0123456789abcdef";
            for (int half = 0; half < 2; ++half) {
                const char digit = digits[half ? random[i] & 15 : random[i] >> 4];
                temporary.token[4 + 2 * i + half] = digit;
                path[prefix + 2 * i + half] = static_cast<wchar_t>(digit);
            }
        }
        std::memcpy(temporary.token + 4 + randomDigits, ".tmp", 5);
        std::wmemcpy(path + prefix + randomDigits, L".tmp", 5);
        temporary.file = openLogFile(path, LogFileUse::cabinet);
        if (temporary.file)
            return true;
        if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_CANT_ACCESS_FILE)
            return false;
    }
    return false;
}

FNFCIGETTEMPFILE(CabinetWriter::temporaryFileName)
{
    auto* writer = static_cast<CabinetWriter*>(pv);
    for (Temporary& temporary : writer->temporaries_) {
        if (temporary.file)
            continue;
        if (cbTempName < static_cast<int>(sizeof temporary.token) ||
            !writer->createTemporary(temporary))
            return FALSE;
        std::memcpy(pszTempName, temporary.token, sizeof temporary.token);
        return TRUE;
    }
    return FALSE;
}

FNFCIGETNEXTCABINET(CabinetWriter::nextCabinet)
{
    (void)pccab, (void)cbPrevCab, (void)pv;
    return FALSE;
}

FNFCISTATUS(CabinetWriter::status)
{
    (void)typeStatus, (void)cb1, (void)cb2, (void)pv;
    return 0;
}

// The date, time and attributes the cabinet keeps of the log, and the log
// itself, read through its verified handle, never by name.
FNFCIGETOPENINFO(CabinetWriter::openInfo)
{
    (void)pszName, (void)err;
    HANDLE source = static_cast<CabinetWriter*>(pv)->source_;
    *pattribs = 0;
    FILE_BASIC_INFO basic;
    if (GetFileInformationByHandleEx(source, FileBasicInfo, &basic, sizeof basic)) {
        const FILETIME lastWrite = {basic.LastWriteTime.LowPart,
                                    static_cast<DWORD>(basic.LastWriteTime.HighPart)};
        FILETIME local;
        FileTimeToLocalFileTime(&lastWrite, &local);
        FileTimeToDosDateTime(&local, pdate, ptime);
        *pattribs = static_cast<USHORT>(basic.FileAttributes &
                                        (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                         FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE));
    }
    return handOut(source, _O_RDONLY);
}

// What a cabinet holds of a moved log: exactly its bytes (one whole file of
// its name), a part (what can be extracted, perhaps nothing, is where the
// log begins: a cut or empty cabinet), or other lines.
enum class Holding { exactly, part, other };

// Extracted through the library, each byte compared with the log as it
// comes; nothing is written anywhere. The extraction's callbacks carry no
// context, so comparisons take turns.
struct Comparison {
    HANDLE cabinet;
    HANDLE log;
    const char* name;
    ULONGLONG size;
    ULONGLONG compared = 0;
    int files = 0;
    bool differs = false;
    bool closed = false;
};
SRWLOCK comparisonTurn = SRWLOCK_INIT;
Comparison* comparing = nullptr;
constexpr INT_PTR cabinetDescriptor = 1;
constexpr INT_PTR contentDescriptor = 2;

FNALLOC(comparisonAllocate)
{
    return HeapAlloc(GetProcessHeap(), 0, cb);
}

FNFREE(comparisonFree)
{
    HeapFree(GetProcessHeap(), 0, pv);
}

FNOPEN(comparisonOpen)
{
    (void)pszFile, (void)pmode;
    if (oflag & (_O_WRONLY | _O_RDWR | _O_CREAT))
        return -1;
    return SetFilePointer(comparing->cabinet, 0, nullptr, FILE_BEGIN) == 0 ? cabinetDescriptor : -1;
}

FNREAD(comparisonRead)
{
    DWORD got = 0;
    if (hf != cabinetDescriptor || !ReadFile(comparing->cabinet, pv, cb, &got, nullptr))
        return static_cast<UINT>(-1);
    return got;
}

FNWRITE(comparisonWrite)
{
    if (hf != contentDescriptor)
        return static_cast<UINT>(-1);
    const BYTE* extracted = static_cast<const BYTE*>(pv);
    for (UINT done = 0; done < cb;) {
        BYTE expected[4096];
        const DWORD wanted = std::min<DWORD>(cb - done, sizeof expected);
        DWORD got = 0;
        if (!ReadFile(comparing->log, expected, wanted, &got, nullptr) || got == 0 ||
            std::memcmp(expected, extracted + done, got) != 0) {
            comparing->differs = true;
            return static_cast<UINT>(-1);
        }
        done += got;
    }
    comparing->compared += cb;
    return cb;
}

FNCLOSE(comparisonClose)
{
    (void)hf;
    return 0;
}

FNSEEK(comparisonSeek)
{
    if (hf != cabinetDescriptor)
        return -1;
    const DWORD method = seektype == SEEK_SET   ? FILE_BEGIN
                         : seektype == SEEK_CUR ? FILE_CURRENT
                                                : FILE_END;
    LARGE_INTEGER distance, at;
    distance.QuadPart = dist;
    return SetFilePointerEx(comparing->cabinet, distance, &at, method)
               ? static_cast<LONG>(at.QuadPart)
               : -1;
}

FNFDINOTIFY(comparisonNotify)
{
    Comparison& comparison = *static_cast<Comparison*>(pfdin->pv);
    switch (fdint) {
    case fdintCABINET_INFO:
    case fdintENUMERATE: return 0;
    case fdintCOPY_FILE:
        if (++comparison.files > 1 || lstrcmpiA(pfdin->psz1, comparison.name) != 0 ||
            static_cast<ULONGLONG>(pfdin->cb) != comparison.size) {
            comparison.differs = true;
            return -1;
        }
        return contentDescriptor;
    case fdintCLOSE_FILE_INFO: comparison.closed = true; return TRUE;
    default:  // a file spanning cabinets
        comparison.differs = true;
        return -1;
    }
}

Holding holding(HANDLE cabinet, HANDLE log, const wchar_t* logPath)
{
    const wchar_t* logName = fileNamePart(logPath);
    char name[MAX_PATH * 2];
    LARGE_INTEGER size;
    const CabinetLibrary* cabinetCalls = cabinetLibrary();
    if (!cabinetCalls || !GetFileSizeEx(log, &size) ||
        !toNarrow(logName, std::wcslen(logName), CP_THREAD_ACP, name) ||
        SetFilePointer(log, 0, nullptr, FILE_BEGIN) != 0)
        return Holding::other;
    Comparison comparison{cabinet, log, name, static_cast<ULONGLONG>(size.QuadPart)};
    const orn::slim_lock_guard turn(comparisonTurn);
    comparing = &comparison;
    ERF error = {};
    BOOL extracted = FALSE;
    if (HFDI reader = cabinetCalls->createReader(comparisonAllocate, comparisonFree, comparisonOpen,
                                                 comparisonRead, comparisonWrite, comparisonClose,
                                                 comparisonSeek, cpuUNKNOWN, &error)) {
        char cabinetName[] = "cabinet";
        char noPath[] = "";
        extracted = cabinetCalls->extract(reader, cabinetName, noPath, 0, comparisonNotify, nullptr,
                                          &comparison);
        cabinetCalls->destroyReader(reader);
    } else {
        comparison.differs = true;  // nothing known
    }
    comparing = nullptr;
    if (comparison.differs)
        return Holding::other;
    return extracted && comparison.closed && comparison.files == 1 &&
                   comparison.compared == comparison.size
               ? Holding::exactly
               : Holding::part;
}

// Packs the moved log behind log, at moved, into the cabinet of its stamped
// name, and deletes it once that cabinet is published whole; true when it
// went. prefix: where the rotation's temporaries go.
bool pack(HANDLE log, const wchar_t* moved, const wchar_t* prefix)
{
    wchar_t cabinetPath[MAX_PATH];
    char narrowSource[MAX_PATH * 2];
    if (!replaceExtension(moved, L".cab", cabinetPath) ||
        !toNarrow(moved, std::wcslen(moved), CP_THREAD_ACP, narrowSource))
        return false;
    CabinetWriter writer(prefix);
    const bool added = writer.add(narrowSource, log);
    if (!writer.finish() || !added || !writer.publish(cabinetPath))
        return false;
    // A kill before this leaves both, which the next rotation tells apart;
    // a moved log that cannot go keeps its place, never beside a cabinet
    // holding it too.
    if (deleteLogFileOnClose(log))
        return true;
    writer.discard();
    return false;
}

// The stamped name of the live log path for this second, into moved, when
// neither it nor its cabinet's is taken. A taken one (a rotation of this
// second) leaves the log where it is, and costs a write over the limit no
// more than these looks: a later second moves it.
bool freeStampedName(const wchar_t* path, wchar_t (&moved)[MAX_PATH])
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t extension[32];
    std::swprintf(extension, sizeof extension / sizeof extension[0],
                  L".%04u%02u%02u%02u%02u%02u.log", now.wYear, now.wMonth, now.wDay, now.wHour,
                  now.wMinute, now.wSecond);
    wchar_t cabinetPath[MAX_PATH];
    auto free = [](const wchar_t* name) {
        return GetFileAttributesW(name) == INVALID_FILE_ATTRIBUTES &&
               GetLastError() == ERROR_FILE_NOT_FOUND;
    };
    return replaceExtension(path, extension, moved) &&
           replaceExtension(moved, L".cab", cabinetPath) && free(cabinetPath) && free(moved);
}

// Moves the file behind file to moved, never replacing an entry there, and
// packs it.
bool moveAndPack(HANDLE file, const wchar_t* moved, const wchar_t* prefix)
{
    if (!orn::renameWithoutReplacing(file, nullptr, moved))
        return false;
    pack(file, moved, prefix);
    return true;
}

// The names "<stem><middle><digits><tail>" of the folder, where digits is
// count characters of digitSet; at most maximumEntries of them per call, so
// that a folder full of them costs a rotation a bounded walk.
constexpr int maximumEntries = 16;

template <typename Each>
void forEachNamed(const wchar_t* stem, const wchar_t* middle, size_t count, const wchar_t* digitSet,
                  const wchar_t* tail, Each each)
{
    wchar_t pattern[MAX_PATH];
    const int length = std::swprintf(pattern, MAX_PATH, L"%ls%ls*%ls", stem, middle, tail);
    if (length <= 0)
        return;
    WIN32_FIND_DATAW found;
    const orn::unique_find find(FindFirstFileExW(pattern, FindExInfoBasic, &found,
                                                 FindExSearchNameMatch, nullptr,
                                                 FIND_FIRST_EX_LARGE_FETCH));
    if (!find)
        return;
    const wchar_t* stemName = fileNamePart(stem);
    const size_t folder = static_cast<size_t>(stemName - stem);
    const size_t head = std::wcslen(stemName) + std::wcslen(middle);
    const size_t tailLength = std::wcslen(tail);
    int seen = 0;
    do {
        const wchar_t* name = found.cFileName;
        if (std::wcslen(name) != head + count + tailLength ||
            std::wcsspn(name + head, digitSet) != count ||
            found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
            continue;
        wchar_t path[MAX_PATH];
        if (folder + std::wcslen(name) >= MAX_PATH)
            continue;
        std::wmemcpy(path, stem, folder);
        std::wmemcpy(path + folder, name, std::wcslen(name) + 1);
        each(path);
    } while (++seen < maximumEntries && FindNextFileW(find.get(), &found));
}

// Finishes what killed rotations of the live log path left, with its folder
// held. Only a file no rotation holds can be opened for deleting: a live
// rotation keeps its moved log and each temporary open without sharing
// deletion from their first moment to their last.
void finishKilledRotations(const wchar_t* path, const wchar_t* stem, const wchar_t* prefix,
                           std::string& notes)
{
    forEachNamed(stem, temporaryMark, randomDigits, L"0123456789abcdef", L".tmp",
                 [](const wchar_t* temporary) {
                     if (const orn::unique_file file = openLogFile(temporary, LogFileUse::rotate))
                         deleteLogFileOnClose(file.get());
                 });
    forEachNamed(stem, L".", 14, L"0123456789", L".log", [&](const wchar_t* moved) {
        const orn::unique_file log = openLogFile(moved, LogFileUse::rotate);
        wchar_t cabinetPath[MAX_PATH];
        if (!log || !replaceExtension(moved, L".cab", cabinetPath))
            return;
        orn::unique_file cabinet = openLogFile(cabinetPath, LogFileUse::rotate);
        wchar_t forward[MAX_PATH];
        if (!cabinet) {
            if (GetLastError() == ERROR_FILE_NOT_FOUND)
                pack(log.get(), moved, prefix);
            else if (GetLastError() != ERROR_SHARING_VIOLATION && freeStampedName(path, forward))
                moveAndPack(log.get(), forward, prefix);
            return;
        }
        switch (holding(cabinet.get(), log.get(), moved)) {
        case Holding::exactly: deleteLogFileOnClose(log.get()); return;
        case Holding::part: {
            // Its lines, if any, are where the moved log begins.
            if (!deleteLogFileOnClose(cabinet.get()))
                return;
            cabinet.reset();
            char cabinetName[MAX_PATH * 2], logName[MAX_PATH * 2];
            const wchar_t* cabinetPart = fileNamePart(cabinetPath);
            const wchar_t* logPart = fileNamePart(moved);
            if (toNarrow(cabinetPart, std::wcslen(cabinetPart), CP_ACP, cabinetName) &&
                toNarrow(logPart, std::wcslen(logPart), CP_ACP, logName))
                notes += std::string("Logging: the incomplete cabinet \"") + cabinetName +
                         "\" was removed: its lines are in \"" + logName + "\", packed again\r\n";
            pack(log.get(), moved, prefix);
            return;
        }
        case Holding::other:
            if (freeStampedName(path, forward))
                moveAndPack(log.get(), forward, prefix);
            return;
        }
    });
}

}  // namespace

bool rotateLogFile(const wchar_t* path, std::string* notes)
{
    wchar_t stem[MAX_PATH];
    wchar_t prefix[MAX_PATH];
    wchar_t moved[MAX_PATH];
    if (!replaceExtension(path, L"", stem) || !replaceExtension(path, temporaryMark, prefix) ||
        !freeStampedName(path, moved))
        return false;
    // Every name below resolves through the folder verified, which stays
    // where it is until the rotation is done.
    const HeldFolder folder = holdFolderOf(path);
    if (!folder)
        return false;
    std::string found;
    finishKilledRotations(path, stem, prefix, found);
    if (notes)
        *notes += found;
    // Looked at again right before the move: the second may have turned.
    if (!freeStampedName(path, moved))
        return false;
    const orn::unique_file log = openLogFile(path, LogFileUse::rotate);
    return log && moveAndPack(log.get(), moved, prefix);
}

}  // namespace LogUtils
