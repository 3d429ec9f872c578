#include "LogArchive.h"

#include "UniqueResource.h"

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace LogUtils {

namespace {

bool isSeparator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

const wchar_t* fileNamePart(const wchar_t* path)
{
    const wchar_t* name = path;
    for (const wchar_t* p = path; *p; ++p) {
        if (isSeparator(*p))
            name = p + 1;
    }
    return name;
}

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

}  // namespace

CabinetWriter::CabinetWriter(const char* folder, const char* cabinetName)
    : parameters_(), error_()
{
    parameters_.cb = maximumCabinetSize;
    parameters_.cbFolderThresh = 0xFFFFFFFF;
    parameters_.iCab = 1;
    parameters_.iDisk = 0;
    parameters_.setID = 0;
    lstrcpynA(parameters_.szCab, cabinetName, sizeof parameters_.szCab);
    lstrcpynA(parameters_.szCabPath, folder, sizeof parameters_.szCabPath);
    context_ = FCICreate(&error_, filePlaced, allocate, release, open, read, write, close, seek,
                         remove, temporaryFileName, &parameters_, this);
}

CabinetWriter::~CabinetWriter()
{
    flushAndDestroy();
}

bool CabinetWriter::addFile(const char* sourcePath, const char* nameInCabinet, bool executable,
                            TCOMP compression)
{
    if (!context_)
        return false;
    if (!nameInCabinet) {
        nameInCabinet = sourcePath;
        for (const char* p = sourcePath; *p; p = CharNextA(p)) {
            if (*p == '\\' || *p == '/')
                nameInCabinet = p + 1;
        }
    }
    return FCIAddFile(context_, const_cast<char*>(sourcePath), const_cast<char*>(nameInCabinet),
                      executable, nextCabinet, status, openInfo, compression) == TRUE;
}

bool CabinetWriter::flushAndDestroy()
{
    if (!context_)
        return false;
    const bool flushed = FCIFlushCabinet(context_, FALSE, nextCabinet, status) == TRUE;
    FCIDestroy(context_);
    context_ = nullptr;
    return flushed && cabinetCreated_;
}

bool CabinetWriter::isCabinetPath(const char* path) const
{
    const size_t folder = std::strlen(parameters_.szCabPath);
    return std::strncmp(path, parameters_.szCabPath, folder) == 0 &&
           lstrcmpiA(path + folder, parameters_.szCab) == 0;
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

FNFCIOPEN(CabinetWriter::open)
{
    (void)err;
    auto* writer = static_cast<CabinetWriter*>(pv);
    // The cabinet is created exclusively: a cabinet of the same stamp made by
    // another writer in the same second must not be truncated.
    const bool creatingCabinet = writer && !writer->cabinetCreated_ && (oflag & _O_CREAT) &&
                                 writer->isCabinetPath(pszFile);
    if (creatingCabinet && !writer->claimed_)
        oflag |= _O_EXCL;
    const int descriptor = ::_open(pszFile, oflag, pmode);
    if (creatingCabinet && descriptor != -1)
        writer->cabinetCreated_ = true;
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
    (void)err, (void)pv;
    return std::remove(pszFile);
}

FNFCIGETTEMPFILE(CabinetWriter::temporaryFileName)
{
    (void)pv;
    // The runtime's _tempnam only checks that a name is free at that moment:
    // processes rotating at once were handed the same names, their temporary
    // files collided and the cabinets came out broken. The process id and a
    // per-process counter keep every name apart. GetTempPathA follows the
    // same TMP and TEMP settings.
    static std::atomic<unsigned long> counter{0};
    char folder[MAX_PATH + 1];
    const DWORD length = GetTempPathA(sizeof folder, folder);
    if (length == 0 || length >= sizeof folder)
        return FALSE;
    const int written = std::snprintf(pszTempName, static_cast<size_t>(cbTempName), "%sbac%lx-%lx.tmp",
                                      folder, GetCurrentProcessId(), ++counter);
    return written > 0 && written < cbTempName;
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

FNFCIGETOPENINFO(CabinetWriter::openInfo)
{
    (void)err, (void)pv;
    *pattribs = 0;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (GetFileAttributesExA(pszName, GetFileExInfoStandard, &data)) {
        FILETIME local;
        FileTimeToLocalFileTime(&data.ftLastWriteTime, &local);
        FileTimeToDosDateTime(&local, pdate, ptime);
        *pattribs = static_cast<USHORT>(data.dwFileAttributes &
                                        (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                         FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE));
    }
    return ::_sopen(pszName, _O_RDONLY | _O_BINARY, _SH_DENYNO, _S_IREAD);
}

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
    if (!replaceExtension(path, extension, moved) ||
        !replaceExtension(moved, L".cab", cabinetPath))
        return false;
    // The cabinet's name is claimed before the move, so one rotation at most
    // runs per log and second. Two writers that found the log too large at
    // once could otherwise both move it: the second rename, of the same file
    // to the name it already has, succeeds. Both then packed it, and the one
    // that found the cabinet made kept the moved log beside it: its lines
    // twice. A cabinet of this stamp exists: the log stays live until the
    // next second.
    orn::unique_file claim(CreateFileW(cabinetPath, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!claim)
        return false;
    claim.reset();
    if (!MoveFileW(path, moved)) {
        DeleteFileW(cabinetPath);
        return false;
    }

    const wchar_t* cabinetName = fileNamePart(cabinetPath);
    char narrowFolder[CB_MAX_CAB_PATH];
    char narrowCabinet[CB_MAX_CABINET_NAME];
    char narrowSource[MAX_PATH * 2];
    bool archived = false;
    if (toNarrow(path, static_cast<size_t>(fileNamePart(path) - path), CP_ACP, narrowFolder) &&
        toNarrow(cabinetName, std::wcslen(cabinetName), CP_ACP, narrowCabinet) &&
        toNarrow(moved, std::wcslen(moved), CP_THREAD_ACP, narrowSource)) {
        CabinetWriter writer(narrowFolder, narrowCabinet);
        writer.fillClaimedCabinet();
        if (writer.isOpen()) {
            const bool added = writer.addFile(narrowSource, nullptr, false, tcompTYPE_MSZIP);
            archived = writer.flushAndDestroy() && added;
        }
    }
    // Without a complete cabinet the moved log is the only copy of its lines.
    // A moved log that another program holds cannot be deleted: its cabinet
    // goes instead, so that no line is kept twice.
    if (archived && !DeleteFileW(moved) && GetLastError() != ERROR_FILE_NOT_FOUND)
        archived = false;
    if (!archived)
        DeleteFileW(cabinetPath);
    return true;
}

}  // namespace LogUtils
