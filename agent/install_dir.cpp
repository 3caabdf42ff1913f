/*
 * Reading the product's installation directory from the registry.
 *
 * The value is the product installer's to write and anyone's with the rights
 * to change, so nothing about it is taken on trust: its type, its length and
 * its terminator are all checked before it becomes a path.
 */
#include "agent.h"

/* Opens the product's key in the agent's own registry view, else in the
 * other one.  On 64-bit Windows each width sees a view of its own (the
 * 32-bit one is WOW6432Node), and the product's installer may have written
 * the key in the view of its own width only, which need not be the agent's.
 * A key in the agent's own view decides, whatever it holds; on 32-bit
 * Windows the flag is ignored and the same key is tried twice. */
static BOOL OpenProductKey(PHKEY phKey)
{
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, AGENT_PRODUCT_KEY, 0, KEY_READ, phKey) == ERROR_SUCCESS ||
           RegOpenKeyExA(HKEY_LOCAL_MACHINE, AGENT_PRODUCT_KEY, 0, KEY_READ | AGENT_OTHER_REGISTRY_VIEW, phKey) ==
               ERROR_SUCCESS;
}

/* Reads InstallDir into lpszDirectory, a buffer of PATH_BUFFER_SIZE bytes.
 * One byte is kept back from the read, so the text is terminated even when
 * the value was stored without a terminator.  FALSE, meaning "not
 * installed", for a missing key or value, a value that is not a string, one
 * longer than the buffer, an empty text, and a text so long that the
 * program paths would not fit their buffers. */
BOOL ReadInstallDir(LPSTR lpszDirectory)
{
    HKEY hKey;
    if (!OpenProductKey(&hKey))
        return FALSE;

    DWORD dwType = REG_NONE;
    DWORD cbValue = PATH_BUFFER_SIZE - 1;
    LONG lResult = RegQueryValueExA(hKey, AGENT_INSTALL_DIR_VALUE, NULL, &dwType,
                                    (LPBYTE)lpszDirectory, &cbValue);
    RegCloseKey(hKey);

    if (lResult != ERROR_SUCCESS || cbValue > PATH_BUFFER_SIZE - 1)
        return FALSE;
    if (dwType != REG_SZ && dwType != REG_EXPAND_SZ)
        return FALSE;
    lpszDirectory[cbValue] = '\0';

    int nLength = lstrlenA(lpszDirectory);
    return nLength > 0 && nLength <= MAX_INSTALL_DIR_LENGTH;
}
