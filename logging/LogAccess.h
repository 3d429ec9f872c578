#pragma once
// Where the log folder is, below the common application-data folder.
#define ORN_LOG_FOLDER_BELOW_COMMON_DATA L"Quarvel\\Tessaline\\Logs"

// Who may do what with what the logging library creates below the common
// application-data folder, where every account may create entries. The
// installer's action gives the same lists, with Administrators as the owner,
// when it takes the folders over (createLogFolder).
//
// Log files, cabinets and their temporaries: LocalSystem and Administrators
// full control; any account (Everyone, and the file's owner through the
// owner-rights entry) may append and write, read, read and write attributes,
// and delete (rotation by any writer), never change the access list or the
// owner. Protected, so that nothing a folder hands down (a creator-owner
// entry, for one) adds rights.
#define ORN_LOG_FILE_ACCESS                                                                        \
    L"D:P(A;;0x101f0000;;;SY)(A;;0x101f0000;;;BA)(A;;0x0013019f;;;WD)(A;;0x0013019f;;;OW)"

// The log folder: LocalSystem and Administrators full control, handed down
// to everything below; any account may list, read, add files and add
// subfolders; the owner-rights entry takes from a creator that is no
// administrator the implicit right to change the access list.
#define ORN_LOG_FOLDER_ACCESS                                                                      \
    L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;CI;0x001200af;;;WD)(A;CI;0x001200af;;;OW)"

// The vendor's levels above it (Quarvel, Tessaline): LocalSystem and
// Administrators full control, any account lists and reads, all handed down,
// so that no user may take a name there that the product's privileged parts
// may want later. The owner-rights entry lets a creator that is no
// administrator (the module loaded before any installation) add the next
// level, as Windows checks that right against the folder's list, not the
// creator's handle; it gives that creator no more than making the level
// itself would have, and the installer makes Administrators the owner.
#define ORN_VENDOR_FOLDER_ACCESS                                                                   \
    L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x001200a9;;;WD)(A;;0x001200ad;;;OW)"

// What the installer makes each level's owner.
#define ORN_LEVEL_OWNER L"O:BA"
