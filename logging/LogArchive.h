#pragma once
// Rotation of a full log into a cabinet archive beside it.
//
//   live log                          moved log / file in the cabinet          cabinet
//   C:\Logs\zuAgent.log            => zuAgent.20261206131500.log            => zuAgent.20261206131500.cab
//   C:\Logs\trace                  => trace.20261206131500.log              => trace.20261206131500.cab
//   zuInstall.20261206000000.log   => zuInstall.20261206000000.20261206131500.log (and .cab)

#include <windows.h>
#include <fci.h>

namespace LogUtils {

// Moves the live log aside under a name stamped with the local time and packs
// it into a cabinet of the same stamped name in the same folder. Returns true
// when the log was moved aside. The moved log is deleted only once its
// cabinet is complete; otherwise it stays next to the live log, so no line is
// ever lost to a failed archive, and it is never kept beside a cabinet that
// holds it too. The cabinet's name is taken before the move: a cabinet
// already holding that stamp (a second rotation within the same second) is
// never overwritten, and the log then stays live until a later write rotates
// it.
bool rotateLogFile(const wchar_t* path);

// One cabinet holding one folder, written through Cabinet.dll. Created, used
// and destroyed within one rotation.
class CabinetWriter {
public:
    // Cabinets never grow past this; larger content fails instead of spilling
    // into a continuation cabinet.
    static constexpr ULONG maximumCabinetSize = 0x100000;

    // folder ends with a separator; both are narrow in the system code page.
    CabinetWriter(const char* folder, const char* cabinetName);
    ~CabinetWriter();
    CabinetWriter(const CabinetWriter&) = delete;
    CabinetWriter& operator=(const CabinetWriter&) = delete;

    bool isOpen() const { return context_ != nullptr; }

    // nameInCabinet null: the file-name part of sourcePath.
    bool addFile(const char* sourcePath, const char* nameInCabinet, bool executable,
                 TCOMP compression);

    // Writes the cabinet out and releases the context; true when the cabinet
    // file is complete. Also run by the destructor if not called before.
    bool flushAndDestroy();

    // The caller created the cabinet file, empty, to claim its name: the
    // writer fills that file instead of refusing it as another's.
    void fillClaimedCabinet() { claimed_ = true; }

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

    bool isCabinetPath(const char* path) const;

    HFCI context_ = nullptr;
    CCAB parameters_;
    ERF error_;
    bool failed_ = false;
    bool cabinetCreated_ = false;
    bool claimed_ = false;
};

}  // namespace LogUtils
