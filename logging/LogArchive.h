#pragma once
// Rotation of a full log into a cabinet archive beside it.
//
//   live log                moved log / file in the cabinet     cabinet
//   C:\Logs\zuAgent.log   => zuAgent.20261206131500.log       => zuAgent.20261206131500.cab
//   C:\Logs\trace         => trace.20261206131500.log         => trace.20261206131500.cab
//   zuInstall.20261206000000.log
//                         => zuInstall.20261206000000.20261206131500.log (and .cab)

#include <string>

namespace LogUtils {

// Moves the live log aside under a name stamped with the local time and packs
// it into a cabinet of the same stamped name in the same folder (one folder,
// MSZIP, at most 1 MiB). Returns true when the log was moved aside. The
// cabinet is written under a temporary name and appears at its own only
// whole, by a rename that never replaces; the moved log is deleted only
// after that, so no line is ever lost to a failed archive. A name of this
// second taken (a second rotation within it) leaves the log live until a
// later write rotates it. The log is moved, packed and deleted through one
// handle verified as the log itself (SafeLogFile.h): a link at its name, or
// any entry at either stamped name, leaves it live.
//
// First it finishes what killed rotations of this log left, none of which a
// live rotation holds:
//   temporary "<stem>.~cab<32 hex>.tmp"     removed
//   moved log, no cabinet                   packed
//   moved log, cabinet of exactly its bytes the moved log deleted
//   moved log, cabinet of a part of them    the cabinet removed (a note in
//             (cut, empty)                  notes), the moved log packed
//   moved log, cabinet of other lines       moved to this second's name, packed
bool rotateLogFile(const wchar_t* path, std::string* notes = nullptr);

}  // namespace LogUtils
