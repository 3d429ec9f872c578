#pragma once
// Checked reads of single registry values, of string values of a product key,
// and the install folder read by each of its three rules. Nothing here logs,
// so every library can use it.

#include <windows.h>

#include <cstddef>
#include <string>

// How a string value stored with no bytes at all reads.
enum class EmptyValue { asEmptyText, asUnreadable };

// A string value counts only when it is REG_SZ or REG_EXPAND_SZ (not
// expanded), has an even byte count and ends in a zero character that fits
// the buffer: at most capacity - 1 characters before it. Anything else reads
// as absent; the text is then undefined.
bool ReadStringValue(HKEY key, const wchar_t* name, wchar_t* text, std::size_t capacity,
                     EmptyValue empty);
// The same for values of at most limit characters; zero bytes read as the
// empty text.
bool ReadStringValue(HKEY key, const wchar_t* name, std::size_t limit, std::wstring& text);

// A REG_DWORD of exactly four bytes.
bool ReadDwordValue(HKEY key, const wchar_t* name, DWORD& value);

// Characters of the buffer the installation folder is read into.
constexpr std::size_t installDirCapacity = 1024;

// "szInstallDir" of an open key as the menu strings and the launcher have
// always read it: the registry type is not checked, the bytes are taken as
// text up to the first terminator, and the result is always terminated. False
// when the value is missing or longer than the buffer.
bool ReadInstallDirAsStored(HKEY key, wchar_t (&folder)[installDirCapacity]);

// A string value of a product key by the checked rule (ReadStringValue).
bool ReadRegistryString(HKEY root, const wchar_t* subKey, const wchar_t* name, std::size_t limit,
                        std::wstring& text);

// "szInstallDir" under HKEY_LOCAL_MACHINE by that same rule, at most limit
// characters (the language class).
bool ReadInstallDirChecked(std::size_t limit, std::wstring& folder);

// "szInstallDir" under HKEY_LOCAL_MACHINE as a string type of at most
// MAX_PATH - 1 characters, terminated where it ends whether or not it was
// stored with a terminator (the folder of the logging configuration file).
bool ReadInstallDirAsPath(wchar_t (&folder)[MAX_PATH]);
