#include "LogArchive.h"

#include "FileNamePart.h"
#include "FolderLevels.h"
#include "SafeLogFile.h"
#include "SystemLibrary.h"
#include "UniqueResource.h"

#include <windows.h>
#include <fci.h>
#include <ntsecapi.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

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

// Cabinet.dll's compression interface, by the ordinals Windows gives it;
// loaded by the first rotation.
struct CabinetLibrary {
    orn::SystemLibrary library{L"cabinet.dll"};
    decltype(&FCICreate) create = library.procedure<decltype(&FCICreate)>(MAKEINTRESOURCEA(10));
    decltype(&FCIAddFile) addFile = library.procedure<decltype(&FCIAddFile)>(MAKEINTRESOURCEA(11));
    decltype(&FCIFlushCabinet) flush =
        library.procedure<decltype(&FCIFlushCabinet)>(MAKEINTRESOURCEA(13));
    decltype(&FCIDestroy) destroy = library.procedure<decltype(&FCIDestroy)>(MAKEINTRESOURCEA(14));
};

const CabinetLibrary* cabinetLibrary()
{
    static const CabinetLibrary cabinet;
    return cabinet.create && cabinet.addFile && cabinet.flush && cabinet.destroy ? &cabinet
                                                                                 : nullptr;
}

// One cabinet holding one folder with one file, written through Cabinet.dll
// into a cabinet file its caller created. The library opens nothing by name
// but that cabinet and the temporary files this writer made for it.
class CabinetWriter {
public:
    // folder ends with a separator; both are narrow in the system code page.
    CabinetWriter(const char* folder, const char* cabinetName, orn::unique_file cabinet);
    ~CabinetWriter();
    CabinetWriter(const CabinetWriter&) = delete;
    CabinetWriter& operator=(const CabinetWriter&) = delete;

    // The file read through source, from its start, compressed with MSZIP
    // under the file name of sourcePath.
    bool add(const char* sourcePath, HANDLE source);
    // Writes the cabinet out and releases the library; true when the
    // cabinet file is complete.
    bool finish();
    // Removes the cabinet file through the handle it was created with.
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

    // The library's own files, by the name it was given for them.
    struct Temporary {
        char path[MAX_PATH];
        orn::unique_file file;
    };
    Temporary* findTemporary(const char* path);
    bool createTemporary(char* name, int capacity);
    static INT_PTR handOut(HANDLE file, int oflag);

    HFCI context_ = nullptr;
    CCAB parameters_;
    ERF error_;
    orn::unique_file cabinet_;
    bool cabinetOpened_ = false;  // handed to the library
    HANDLE source_ = nullptr;  // during add only
    // Made beside the cabinet, at names nobody can foresee, and removed
    // through their handles: a shared temporary folder would let any
    // account plant a file or a link at the next name.
    Temporary temporaries_[8];
};

CabinetWriter::CabinetWriter(const char* folder, const char* cabinetName, orn::unique_file cabinet)
    : parameters_(), error_(), cabinet_(std::move(cabinet))
{
    // Cabinets never grow past 1 MiB; larger content fails instead of
    // spilling into a continuation cabinet.
    parameters_.cb = 0x100000;
    parameters_.cbFolderThresh = 0xFFFFFFFF;
    parameters_.iCab = 1;
    lstrcpynA(parameters_.szCab, cabinetName, sizeof parameters_.szCab);
    lstrcpynA(parameters_.szCabPath, folder, sizeof parameters_.szCabPath);
    const CabinetLibrary* cabinetCalls = cabinetLibrary();
    context_ = cabinetCalls ? cabinetCalls->create(&error_, filePlaced, allocate, release, open,
                                                   read, write, close, seek, remove,
                                                   temporaryFileName, &parameters_, this)
                            : nullptr;
}

CabinetWriter::~CabinetWriter()
{
    finish();
    // Those the library did not remove itself, after a failure.
    for (Temporary& temporary : temporaries_) {
        if (temporary.file)
            deleteLogFileOnClose(temporary.file.get());
    }
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

void CabinetWriter::discard()
{
    if (cabinet_)
        deleteLogFileOnClose(cabinet_.get());
    cabinet_.reset();
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

CabinetWriter::Temporary* CabinetWriter::findTemporary(const char* path)
{
    for (Temporary& temporary : temporaries_) {
        if (temporary.file && lstrcmpiA(temporary.path, path) == 0)
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
    // Only the cabinet its caller created, once.
    const size_t folder = std::strlen(writer->parameters_.szCabPath);
    if (!(oflag & _O_CREAT) || writer->cabinetOpened_ || !writer->cabinet_ ||
        std::strncmp(pszFile, writer->parameters_.szCabPath, folder) != 0 ||
        lstrcmpiA(pszFile + folder, writer->parameters_.szCab) != 0)
        return -1;
    const INT_PTR descriptor = handOut(writer->cabinet_.get(), oflag);
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

bool CabinetWriter::createTemporary(char* name, int capacity)
{
    Temporary* free = nullptr;
    for (Temporary& temporary : temporaries_) {
        if (!temporary.file) {
            free = &temporary;
            break;
        }
    }
    if (!free)
        return false;
    // 128 random bits: a name nobody can foresee, and if one is taken all
    // the same, the exclusive create refuses it and another is drawn.
    for (int attempt = 0; attempt < 4; ++attempt) {
        unsigned char random[16];
        if (!RtlGenRandom(random, sizeof random))
            return false;
        char path[MAX_PATH];
        int length = std::snprintf(path, sizeof path, "%s~cab", parameters_.szCabPath);
        for (unsigned char byte : random) {
            if (length <= 0 || length + 2 >= static_cast<int>(sizeof path))
                return false;
            length += std::snprintf(path + length, sizeof path - length, "%02x", byte);
        }
        if (length + 5 > static_cast<int>(sizeof path) || length + 5 > capacity)
            return false;
        std::memcpy(path + length, ".tmp", 5);
        wchar_t widePath[MAX_PATH];
        if (!MultiByteToWideChar(CP_ACP, 0, path, -1, widePath, MAX_PATH))
            return false;
        free->file = openLogFile(widePath, LogFileUse::cabinet);
        if (free->file) {
            std::memcpy(free->path, path, static_cast<size_t>(length) + 5);
            std::memcpy(name, path, static_cast<size_t>(length) + 5);
            return true;
        }
        if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_CANT_ACCESS_FILE)
            return false;
    }
    return false;
}

FNFCIGETTEMPFILE(CabinetWriter::temporaryFileName)
{
    return static_cast<CabinetWriter*>(pv)->createTemporary(pszTempName, cbTempName);
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

}  // namespace

bool rotateLogFile(const wchar_t* path)
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t extension[32];
    std::swprintf(extension, sizeof extension / sizeof extension[0],
                  L".%04u%02u%02u%02u%02u%02u.log", now.wYear, now.wMonth, now.wDay, now.wHour,
                  now.wMinute, now.wSecond);

    wchar_t moved[MAX_PATH];
    wchar_t cabinetPath[MAX_PATH];
    if (!replaceExtension(path, extension, moved) || !replaceExtension(moved, L".cab", cabinetPath))
        return false;
    const wchar_t* cabinetName = fileNamePart(cabinetPath);
    char narrowFolder[CB_MAX_CAB_PATH];
    char narrowCabinet[CB_MAX_CABINET_NAME];
    char narrowSource[MAX_PATH * 2];
    if (!toNarrow(path, static_cast<size_t>(fileNamePart(path) - path), CP_ACP, narrowFolder) ||
        !toNarrow(cabinetName, std::wcslen(cabinetName), CP_ACP, narrowCabinet) ||
        !toNarrow(moved, std::wcslen(moved), CP_THREAD_ACP, narrowSource))
        return false;

    // The cabinet is reserved by creating it, so that a name taken by a
    // cabinet of this second or by anything planted there, a dangling link
    // included, leaves the log live until a later second; the rename never
    // replaces an entry at the moved name either. The folder stays where it
    // is until the log is moved and packed: the rename's target and the
    // cabinet resolve through the folder verified.
    const HeldFolder folder = holdFolderOf(path);
    if (!folder)
        return false;
    orn::unique_file cabinet = openLogFile(cabinetPath, LogFileUse::cabinet);
    if (!cabinet)
        return false;
    const orn::unique_file log = openLogFile(path, LogFileUse::rotate);
    if (!log || !orn::renameWithoutReplacing(log.get(), nullptr, moved)) {
        deleteLogFileOnClose(cabinet.get());
        return false;
    }

    CabinetWriter writer(narrowFolder, narrowCabinet, std::move(cabinet));
    const bool added = writer.add(narrowSource, log.get());
    const bool archived = writer.finish() && added;
    // Without a complete cabinet the moved log is the only copy of its lines;
    // and a moved log that cannot go keeps that place, never beside a
    // cabinet holding it too.
    if (!archived || !deleteLogFileOnClose(log.get()))
        writer.discard();
    return true;
}

}  // namespace LogUtils
