#pragma once
// Where the product keeps its keys under HKEY_LOCAL_MACHINE and the view they
// are read in, and where its files stand below the install folder. Nothing
// here logs, so the logging library can use it too.
//
// The product's installer and agent are 32-bit programs: their HKLM keys
// stand in the 32-bit registry view. Both builds of the module therefore
// open them with KEY_WOW64_32KEY: a 64-bit process reaches that view only
// through the flag; a 32-bit process is in it already (under WoW64 and on
// 32-bit Windows the flag changes nothing). HKEY_CURRENT_USER keys are not
// redirected and are opened as they are.

#include <windows.h>

#include <cstddef>
#include <iterator>

// Keys under HKEY_LOCAL_MACHINE. The first holds the install folder
// (RegistryValues.h reads it).
extern const wchar_t installKey[];
extern const wchar_t installDirValue[];
extern const wchar_t agentKey[];
extern const wchar_t desktopUIKey[];
extern const wchar_t corvaneComponentKey[];
extern const wchar_t surfwardenComponentKey[];
// The logging library's run-time properties.
extern const wchar_t logRegistryKey[];

// Under HKEY_CURRENT_USER: what the shell extension keeps for one user; below
// it, the host processes to which the Explorer command answered "shown", a
// value per process named by its id (decimal) and holding its start (a
// FILETIME as REG_QWORD).
extern const wchar_t shellExtUserKey[];
extern const wchar_t packagedCommandHostsKey[];

// The product's files, each joined to the install folder as it is stored:
//   C:\Apps\Scanner + \Agent\zuAgtSvc.exe => C:\Apps\Scanner\Agent\zuAgtSvc.exe
namespace productFiles {
// The agent, and the folder it starts in.
inline constexpr wchar_t agentFolder[] = L"\\Agent";
inline constexpr wchar_t agentProgram[] = L"\\Agent\\zuAgtSvc.exe";
// The library the agent loads to scan.
inline constexpr wchar_t scanLibrary[] = L"\\Vandor\\zuCioScn.dll";
// One folder per language below it, named by its LANGID as "%04x", holding
// the menu texts.
inline constexpr wchar_t languageFolders[] = L"\\Agent\\Res\\";
inline constexpr wchar_t menuStrings[] = L"\\GenStrings.bin";
// The bit position of each language in the partner's bitmask.
inline constexpr wchar_t languageList[] = L"\\Agent\\Languages.xml";
// Characters of the longest of these paths, a language's menu texts.
inline constexpr std::size_t longestPath =
    std::size(languageFolders) - 1 + 4 + std::size(menuStrings) - 1;
}  // namespace productFiles

// The view flag for a key under root: the product's view for
// HKEY_LOCAL_MACHINE, none for any other root.
REGSAM ProductView(HKEY root);

// RegOpenKeyExW / RegCreateKeyExW with the view flag of root added.
LONG OpenProductKey(HKEY root, const wchar_t* subKey, REGSAM access, HKEY* key);
LONG CreateProductKey(HKEY root, const wchar_t* subKey, REGSAM access, HKEY* key);
