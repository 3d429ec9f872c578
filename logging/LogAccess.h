#pragma once
// Where the log folder is, below the common application-data folder.
#define ORN_LOG_FOLDER_BELOW_COMMON_DATA L"Quarvel\\Tessaline\\Logs"

// Who may do what with what the logging library creates below the common
// application-data folder, where every account may create entries. Read by
// the installer's build too, which creates the same folders at install time.
//
// Log files, cabinets and their temporaries: LocalSystem and Administrators
// full control; any account (Everyone, and the file's owner through the
// owner-rights entry) may append and write, read, read and write attributes,
// and delete (rotation by any writer), never change the access list or the
// owner. Protected, so that nothing a folder hands down (a creator-owner
// entry, for one) adds rights.
#define ORN_LOG_FILE_ACCESS                                                                        \
    L"D:P(A;;0x101f0000;;;SY)(A;;0x101f0000;;;BA)(A;;0x0013019f;;;WD)(A;;0x0013019f;;;OW)"

// The folder levels the library makes: LocalSystem and Administrators full
// control, handed down to everything below; any account may list, read, add
// files and add subfolders; the owner-rights entry takes from a creator that
// is no administrator the implicit right to change the access list.
#define ORN_LOG_FOLDER_ACCESS                                                                      \
    L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;CI;0x001200af;;;WD)(A;CI;0x001200af;;;OW)"
