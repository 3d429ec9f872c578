#pragma once
// Rotation of a full log into a cabinet archive beside it.
//
//   live log                moved log / file in the cabinet     cabinet
//   C:\Logs\zuAgent.log   => zuAgent.20261206131500.log       => zuAgent.20261206131500.cab
//   C:\Logs\trace         => trace.20261206131500.log         => trace.20261206131500.cab
//   zuInstall.20261206000000.log
//                         => zuInstall.20261206000000.20261206131500.log (and .cab)

namespace LogUtils {

// Moves the live log aside under a name stamped with the local time and packs
// it into a cabinet of the same stamped name in the same folder (one folder,
// MSZIP, at most 1 MiB). Returns true when the log was moved aside. The moved
// log is deleted only once its cabinet is complete; otherwise it stays next
// to the live log, so no line is ever lost to a failed archive. A cabinet
// already holding that stamp (a second rotation within the same second) is
// never overwritten: the log then stays live until a later write rotates it.
// The log is moved, packed and deleted through one handle verified as the log
// itself (SafeLogFile.h): a link at its name, or any entry at either stamped
// name, leaves it live.
bool rotateLogFile(const wchar_t* path);

}  // namespace LogUtils
