/*
 * What the custom actions share: the installation's formatted text and its
 * log.
 */
#include "custom_actions.h"

#include <stdarg.h>
#include <stdio.h>

void LogLine(MSIHANDLE hInstall, LPCWSTR lpszFormat, ...)
{
    WCHAR szText[ACTION_PATH_SIZE + 256];
    va_list args;
    va_start(args, lpszFormat);
    _vsnwprintf(szText, ARRAYSIZE(szText) - 1, lpszFormat, args);
    va_end(args);
    szText[ARRAYSIZE(szText) - 1] = L'\0';

    MSIHANDLE hRecord = MsiCreateRecord(0);
    if (hRecord == 0)
        return;
    MsiRecordSetStringW(hRecord, 0, szText);
    MsiProcessMessage(hInstall, INSTALLMESSAGE_INFO, hRecord);
    MsiCloseHandle(hRecord);
}

BOOL GetInstallerProperty(MSIHANDLE hInstall, LPCWSTR lpszName, LPWSTR lpszValue)
{
    DWORD cch = ACTION_PATH_SIZE;
    if (MsiGetPropertyW(hInstall, lpszName, lpszValue, &cch) == ERROR_SUCCESS)
        return TRUE;
    lpszValue[0] = L'\0';
    return FALSE;
}

BOOL FormatInstallerText(MSIHANDLE hInstall, LPCWSTR lpszText, LPWSTR lpszValue)
{
    lpszValue[0] = L'\0';
    MSIHANDLE hRecord = MsiCreateRecord(0);
    if (hRecord == 0)
        return FALSE;
    DWORD cch = ACTION_PATH_SIZE;
    BOOL ok = MsiRecordSetStringW(hRecord, 0, lpszText) == ERROR_SUCCESS &&
              MsiFormatRecordW(hInstall, hRecord, lpszValue, &cch) == ERROR_SUCCESS;
    MsiCloseHandle(hRecord);
    if (!ok)
        lpszValue[0] = L'\0';
    return ok;
}

BOOL GetAgentPath(MSIHANDLE hInstall, LPCWSTR lpszAction, LPWSTR lpszPath)
{
    if (!GetInstallerProperty(hInstall, L"CustomActionData", lpszPath) || lpszPath[0] == L'\0') {
        LogLine(hInstall, L"%ls: no agent path given", lpszAction);
        return FALSE;
    }
    MakeLongPath(lpszPath);
    return TRUE;
}
