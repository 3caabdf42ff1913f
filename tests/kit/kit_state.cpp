/*
 * What the Windows test kit changes on the machine it runs on, saved before
 * it changes anything and put back afterwards (kit_runner.cpp): registry
 * keys, each in a given registry view, with all their values and subkeys,
 * or the fact that they did not exist.  The saved state is a text file in
 * the kit's folder, so that restore.cmd can put it back after a run that
 * was interrupted.  One line a tree, a key or a value:
 *
 *     tree ROOT VIEW PATH         a saved tree: put back, it replaces what is
 *                                 there now (nothing follows when the key
 *                                 did not exist)
 *     key ROOT VIEW PATH          a key of it, made again
 *     value HEXNAME TYPE HEXDATA  a value of the key above (its name in
 *                                 UTF-16, its data as stored)
 */
#include "kit_runner.h"

#include <stdlib.h>

#include <sstream>

namespace {

std::string Hex(const std::string &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out.empty() ? "-" : out;
}

std::string Unhex(const std::string &text)
{
    std::string out;
    for (size_t i = 0; text != "-" && i + 1 < text.size(); i += 2)
        out += (char)strtoul(text.substr(i, 2).c_str(), NULL, 16);
    return out;
}

HKEY Root(const std::string &name) { return name == "HKCU" ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE; }

// Key paths are written as UTF-8, values as the bytes Windows keeps (UTF-16
// for names and texts): a browser's localised texts come back as they were,
// whatever this machine's code page.
std::wstring Wide(const std::string &utf8)
{
    std::wstring out(utf8.size(), L'\0');
    out.resize(MultiByteToWideChar(CP_UTF8, 0, utf8.data(), (int)utf8.size(), &out[0], (int)out.size()));
    return out;
}

std::string Utf8(const std::wstring &wide)
{
    std::string out(wide.size() * 3, '\0');
    out.resize(WideCharToMultiByte(CP_UTF8, 0, wide.data(), (int)wide.size(), &out[0], (int)out.size(), NULL, NULL));
    return out;
}

std::vector<std::wstring> Subkeys(HKEY key)
{
    std::vector<std::wstring> subkeys;
    wchar_t sub[256];
    for (DWORD i = 0, size = 256; RegEnumKeyExW(key, i, sub, &size, NULL, NULL, NULL, NULL) == ERROR_SUCCESS;
         ++i, size = 256)
        subkeys.push_back(sub);
    return subkeys;
}

// False when something there could not be read: the saved state would
// then put back less than was there.
bool SaveTree(HKEY root, const std::string &rootName, REGSAM view, const std::wstring &path, std::string &out)
{
    HKEY key;
    const LONG opened = RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | view, &key);
    if (opened != ERROR_SUCCESS)
        return opened == ERROR_FILE_NOT_FOUND;
    bool ok = true;
    out += "key " + rootName + " " + std::to_string(view) + " " + Utf8(path) + "\n";
    for (DWORD i = 0;; ++i) {
        wchar_t name[16384];
        DWORD nameSize = 16384, type, dataSize = 0;
        const LONG sized = RegEnumValueW(key, i, name, &nameSize, NULL, &type, NULL, &dataSize);
        if (sized != ERROR_SUCCESS) {
            ok &= sized == ERROR_NO_MORE_ITEMS;
            break;
        }
        std::string data(dataSize, '\0');
        nameSize = 16384;
        if (RegEnumValueW(key, i, name, &nameSize, NULL, &type, (BYTE *)&data[0], &dataSize) != ERROR_SUCCESS) {
            ok = false;
            break;
        }
        data.resize(dataSize);
        out += "value " + Hex(std::string((const char *)name, nameSize * sizeof(wchar_t))) + " " +
               std::to_string(type) + " " + Hex(data) + "\n";
    }
    const std::vector<std::wstring> subkeys = Subkeys(key);
    RegCloseKey(key);
    for (const std::wstring &sub : subkeys)
        ok &= SaveTree(root, rootName, view, path + L"\\" + sub, out);
    return ok;
}

// False when the key is still there afterwards.
bool DeleteTree(HKEY root, REGSAM view, const std::wstring &path)
{
    HKEY key;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | view, &key) == ERROR_SUCCESS) {
        const std::vector<std::wstring> subkeys = Subkeys(key);
        RegCloseKey(key);
        for (const std::wstring &sub : subkeys)
            DeleteTree(root, view, path + L"\\" + sub);
    }
    const LONG r = RegDeleteKeyExW(root, path.c_str(), view, 0);
    return r == ERROR_SUCCESS || r == ERROR_FILE_NOT_FOUND;
}

}  // namespace

bool SaveKey(const char *rootName, REGSAM view, const std::string &path, std::string &state)
{
    state += std::string("tree ") + rootName + " " + std::to_string(view) + " " + path + "\n";
    return SaveTree(Root(rootName), rootName, view, Wide(path), state);
}

bool RestoreKeys(const std::string &state)
{
    bool ok = true;
    HKEY key = NULL;
    for (const std::string &line : harness::SplitLines(state)) {
        std::istringstream in(line);
        std::string kind;
        in >> kind;
        if (kind == "value") {
            std::string name, data;
            DWORD type = 0;
            in >> name >> type >> data;
            const std::string n = Unhex(name), d = Unhex(data);
            const std::wstring wideName((const wchar_t *)n.data(), n.size() / sizeof(wchar_t));
            ok &= key != NULL && RegSetValueExW(key, wideName.c_str(), 0, type, (const BYTE *)d.data(),
                                                (DWORD)d.size()) == ERROR_SUCCESS;
            continue;
        }
        std::string root, path;
        REGSAM view = 0;
        in >> root >> view;
        std::getline(in >> std::ws, path);
        if (key != NULL)
            RegCloseKey(key);
        key = NULL;
        if (kind == "tree")
            ok &= DeleteTree(Root(root), view, Wide(path));
        else if (kind == "key")
            ok &= RegCreateKeyExW(Root(root), Wide(path).c_str(), 0, NULL, 0, KEY_WRITE | view, NULL, &key, NULL) ==
                  ERROR_SUCCESS;
    }
    if (key != NULL)
        RegCloseKey(key);
    return ok;
}
