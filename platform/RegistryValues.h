#pragma once
// Checked reads of single registry values, of string values of a product key,
// and the one lookup of the install folder. Nothing here logs, so every
// library can use it.

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

// A string value of a product key by the checked rule (ReadStringValue).
bool ReadRegistryString(HKEY root, const wchar_t* subKey, const wchar_t* name, std::size_t limit,
                        std::wstring& text);

// The install folder, by the one rule every reader shares (the menu, its
// state, the launch, the language class, the logging configuration): the
// value installDirValue of installKey in the product's view, read by the
// checked rule above and taken as stored (not expanded, a trailing separator
// kept). It must not be empty, and every file of the product below it must
// have a path of at most MAX_PATH - 1 characters, the most Explorer, the
// profile reader and process creation take. Anything else is no
// installation, and folder is then empty.
constexpr std::size_t installFolderChars = MAX_PATH;
bool ReadInstallFolder(wchar_t (&folder)[installFolderChars]) noexcept;
