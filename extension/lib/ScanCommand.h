#pragma once
// The scan command as every menu of the module shows it: its text, help and
// icon, and where the classic menu shows it. The classic handler (a drop
// list) and the Explorer command (a shell item array) only turn their
// selection into a path and hand it to the scan launcher (ScanLauncher.h).

#include <windows.h>
#include <shobjidl.h>

#include <cstddef>

class CScanCommand {
public:
    // Characters of every text and path buffer, terminator included.
    static constexpr std::size_t textChars = 1024;

    // The command text and its help line in the user's language, from the
    // strings file; false (after the lookup's own diagnostic) when missing.
    // Throw std::bad_alloc only when memory runs out.
    static bool Title(wchar_t (&text)[textChars]);
    static bool Help(wchar_t (&text)[textChars]);

    // "<module path>,-<icon id>", the form the shell loads an icon from.
    static bool IconLocation(HMODULE module, int iconId, wchar_t (&location)[textChars]) noexcept;
};

// The first item of a shell item array that has a file-system path, into
// path; false for a null or empty array and for one without such items.
bool FirstFileSystemPath(IShellItemArray* items, wchar_t (&path)[CScanCommand::textChars]) noexcept;

// Where the classic handler still adds its items. Windows 11's Explorer
// shows the packaged command only in a 64-bit host, only for a user who has
// the package, and only once it has loaded the package's verbs, which it
// does when it starts; its "Show more options" menu then lists the packaged
// command too, so a classic entry there would be a second one. The classic
// entry therefore steps back only on evidence about the host that builds the
// menu: the packaged command answered "shown" to this very process (its id
// and start time, recorded by the command in its surrogate). Any doubt shows
// the classic entry: a duplicate is the lesser harm, no entry the worse.
struct MenuHostFacts {
    bool host64Bit;
    // 0 when unknown.
    DWORD windowsBuild;
    // The user's override of Windows 11's menu class is in place.
    bool classicMenuRestored;
    // The packaged command answered "shown" to this host process.
    bool shownToThisHost;
    // The package is registered for the user (or the system keeps no
    // packages to ask about).
    bool packageRegistered;
};
constexpr DWORD firstWindows11Build = 22000;
bool ClassicMenuWanted(const MenuHostFacts& host) noexcept;

// The same decision for this process and user; each fact is looked up only
// where the ones before it leave the answer open.
bool ClassicMenuWantedHere() noexcept;

// What the Explorer command calls when it answers "shown": records, for the
// user, the process that asked (the caller of the COM call, or this process
// when it was called directly) with its start time, once per such process.
// A record that cannot be written leaves the classic entry in place, which
// is the safe side.
void RecordPackagedCommandShown() noexcept;
