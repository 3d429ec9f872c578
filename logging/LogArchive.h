#pragma once
// Rotation of a full log into a cabinet archive beside it.
//
//   live log                moved log / file in the cabinet     cabinet
//   C:\Logs\zuAgent.log   => zuAgent.20261206131500.log       => zuAgent.20261206131500.cab
//   C:\Logs\trace         => trace.20261206131500.log         => trace.20261206131500.cab
//   zuInstall.20261206000000.log
//                         => zuInstall.20261206000000.20261206131500.log (and .cab)

#include "UniqueResource.h"

#include <windows.h>
#include <fci.h>

namespace LogUtils {

// Moves the live log aside under a name stamped with the local time and packs
// it into a cabinet of the same stamped name in the same folder. Returns true
// when the log was moved aside. The moved log is deleted only once its
// cabinet is complete; otherwise it stays next to the live log, so no line is
// ever lost to a failed archive. A cabinet already holding that stamp (a
// second rotation within the same second) is never overwritten: the log then
// stays live until a later write rotates it. The log is moved, packed and
// deleted through one handle verified as the log itself (SafeLogFile.h): a
// link at its name, or any entry at either stamped name, leaves it live
// (Wine alone renames over a dangling link at the moved name, which touches
// nothing the link points to).
bool rotateLogFile(const wchar_t* path);

// One cabinet holding one folder, written through Cabinet.dll. Created, used
// and destroyed within one rotation. The library opens nothing by name but
// the cabinet and the temporary files this writer made for it.
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

    // nameInCabinet null: the file-name part of sourcePath. With a source
    // handle the content is read through it (from its start), not by path.
    bool addFile(const char* sourcePath, const char* nameInCabinet, bool executable,
                 TCOMP compression, HANDLE source = nullptr);

    // Writes the cabinet out and releases the context; true when the cabinet
    // file is complete. Also run by the destructor if not called before.
    bool flushAndDestroy();

    // The cabinet file, created empty by the caller through openLogFile; the
    // writer fills it instead of creating it.
    void adoptCabinet(orn::unique_file cabinet);

    // Removes a cabinet file this writer created (or adopted) but could not
    // complete, through the handle it was created with.
    void discardIncomplete();

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
    bool cabinetOpened_ = false;  // handed to the library
    orn::unique_file cabinet_;  // the created cabinet, kept to delete it
    HANDLE source_ = nullptr;  // during addFile only
    // Made beside the cabinet, at names nobody can foresee, and removed
    // through their handles: a shared temporary folder would let any
    // account plant a file or a link at the next name.
    Temporary temporaries_[8];
};

}  // namespace LogUtils
