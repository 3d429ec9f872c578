#pragma once
// The sinks a section's "type" can name: a table from the name to what the
// sink is built with and how. A section's own keys are read into its
// settings, then the sink is built from them for each record it takes.

#include "LogConfiguration.h"
#include "LogFolders.h"
#include "LogRecord.h"
#include "LogSink.h"
#include "SyslogStream.h"

#include <windows.h>

#include <cstdint>
#include <string>

namespace LogUtils {

// What one section's keys say about its output; each sink reads only its own.
struct SinkSettings {
    std::wstring path;  // file: "logdir" joined with the expanded "filename"
    DWORD maximumSize = 0;
    // file: whose log folder is made before the file is written (null: the
    // folder is the caller's business).
    const LogFolders* folders = nullptr;
    DWORD writeDelay = 0;  // file: "writedelay", 0 when lines are written by their caller
    bool hasServer = false;  // syslog: kept wide, converted in the writing thread's code page
    // syslog: where and how; the port follows the transport when "port"
    // gives none (514 UDP, 601 TCP, 6514 TLS, 2514 RELP).
    StreamDestination syslog;
};

// What a sink writes to, for tools that describe a destination.
enum class SinkKind { file, syslog, debugger };

struct SinkType {
    const wchar_t* name;  // a "type" value, compared ignoring case
    SinkKind kind;
    const wchar_t* keys[7];  // the section keys its settings read (null: none)
    // False when the section writes nothing (no file name or log folder).
    bool (*readSettings)(LogConfigurationSection& section, LookupableW& properties,
                         SinkSettings& settings);
    // Builds the sink for one record and lets it write.
    void (*write)(const SinkSettings& settings, LogRecord& record, ILogSinkStreamer& streamer);
};

// The sink type a "type" value names; null for any other value.
const SinkType* findSinkType(const wchar_t* name);

// Whether some section type reads the key (compared ignoring case).
bool isSectionKey(const wchar_t* key);

// A section's "filename" with its placeholders replaced by the properties.
// False when the result does not fit.
bool expandLogFileName(const wchar_t* fileName, LookupableW& properties,
                       wchar_t (&expanded)[MAX_PATH]);

// Why an expanded file name would leave the log folder, or null when it stays
// inside (a subfolder included). A name is refused when it is absolute, a
// UNC or device path, holds ":" (a drive or a stream) or "/", has a ".."
// level, or a level that is a reserved device name with or without an
// extension ("NUL", "COM1.log"):
//   "zuAgent.log", "Agent\zuAgent.log"         => null
//   "C:\Windows\x.log", "\\host\share\x.log" => "is not relative to the log folder"
//   "..\..\x.log"                              => "climbs out of the log folder"
const wchar_t* logFileNameProblem(const wchar_t* name);

// Reads a syslog section's "transport", "message" and "queue" values (each
// may be null: udp, bsd, 256 KiB) into destination, with the transport's
// port. False, with the reason in problem, when one makes the section send
// nothing: an unknown word, or a queue outside 4 to 65536 KiB:
//   "TCP", "rfc5424", "64" => true: tcp, rfc5424, 65536 bytes, port 601
//   "sctp"                 => false: transport "sctp" is none of udp, tcp, ...
bool readSyslogChoices(const wchar_t* transport, const wchar_t* message, const wchar_t* queue,
                       StreamDestination& destination, std::wstring& problem);

// A file section's "writedelay" (may be null) into delay: how many
// milliseconds its lines may wait for the background writer, 0 (none) to
// maximumWriteDelay. False, with the reason in problem, for any other text:
//   "200", " 200" => 200;  null, "0" => 0 (the caller writes)
//   "2s", "-1", "", "10001" => false: writedelay "2s" is not from 0 to 10000 ...
bool readWriteDelay(const wchar_t* text, DWORD& delay, std::wstring& problem);
constexpr DWORD maximumWriteDelay = 10000;

// The smallest and largest "queue" (KiB), and the bound without one.
constexpr DWORD minimumQueueKiB = 4;
constexpr DWORD maximumQueueKiB = 65536;
constexpr DWORD defaultQueueKiB = 256;

// A section's number text: leading blanks, one sign, then decimal digits up
// to the first other character, wrapping at 32 bits ("-1" gives 0xFFFFFFFF,
// "abc" gives 0).
DWORD parseSectionNumber(const wchar_t* text);

}  // namespace LogUtils
