#pragma once
// Where the product keeps its keys under HKEY_LOCAL_MACHINE, and the view they
// are read in. Nothing here logs, so the logging library can use it too.
//
// The product's installer and agent are 32-bit programs: their HKLM keys
// stand in the 32-bit registry view. Both builds of the module therefore
// open them with KEY_WOW64_32KEY: a 64-bit process reaches that view only
// through the flag; a 32-bit process is in it already (under WoW64 and on
// 32-bit Windows the flag changes nothing). HKEY_CURRENT_USER keys are not
// redirected and are opened as they are.
//
// The Wow6432Node copy of the install key is still tried by a 32-bit process
// on 64-bit Windows (the IsWow64 gate of the launcher and menu strings). A
// 64-bit process is never under WoW64, so its build makes the one try in the
// 32-bit view; a second try there would read the same key again.

#include <windows.h>

#include <cstddef>

// Keys under HKEY_LOCAL_MACHINE. The first holds the installation folder;
// installKeyWow32 is its copy as a 32-bit process on 64-bit Windows may have
// to name it.
extern const wchar_t installKeyNative[];
extern const wchar_t installKeyWow32[];
extern const wchar_t installDirValue[];
extern const wchar_t agentKey[];
extern const wchar_t desktopUIKey[];
extern const wchar_t corvaneComponentKey[];
extern const wchar_t surfwardenComponentKey[];
// The logging library's run-time properties.
extern const wchar_t logRegistryKey[];

// Under HKEY_CURRENT_USER: what the shell extension keeps for one user, the
// time (a FILETIME as REG_QWORD) at which a process of the Explorer command
// was first asked for the command's state.
extern const wchar_t shellExtUserKey[];
extern const wchar_t packagedCommandAskedValue[];

// The two keys a lookup of the installation walks; installKeys is the
// product's pair.
struct InstallKeys {
    const wchar_t* native;
    const wchar_t* wow32;
};
extern const InstallKeys installKeys;

// The view flag for a key under root: the product's view for
// HKEY_LOCAL_MACHINE, none for any other root.
REGSAM ProductView(HKEY root);

// RegOpenKeyExW / RegCreateKeyExW with the view flag of root added.
LONG OpenProductKey(HKEY root, const wchar_t* subKey, REGSAM access, HKEY* key);
LONG CreateProductKey(HKEY root, const wchar_t* subKey, REGSAM access, HKEY* key);
