/*
 * The package's custom actions, in a DLL that Windows Installer runs from
 * the package's Binary table: it is never installed, so it is there before
 * the agent's files are and after they are gone.
 *
 *   StopAgents  deferred and not impersonated, before any file is replaced
 *               or removed: ends every running agent.exe of this
 *               installation, in every session (stop_agents.cpp).
 *   StartAgent  after the installation, for the interactive user only
 *               (start_agent.cpp).
 *
 * Neither ever fails the installation: each says what it did in the
 * installation's log and returns ERROR_SUCCESS.  Like the agent, the DLL
 * uses the platform's calls and fixed buffers only.
 */
#ifndef CUSTOM_ACTIONS_H
#define CUSTOM_ACTIONS_H

#include <windows.h>
#include <msi.h>
#include <msiquery.h>

enum {
    /* Room for any path the actions handle, in characters. */
    ACTION_PATH_SIZE = 1024
};

extern "C" UINT WINAPI StopAgents(MSIHANDLE hInstall);
extern "C" UINT WINAPI StartAgent(MSIHANDLE hInstall);

/* A line in the installation's log (msiexec /l*v), printf-style. */
void LogLine(MSIHANDLE hInstall, LPCWSTR lpszFormat, ...);

/* A property (for a deferred action, CustomActionData is all there is), or
 * formatted text such as "[#AgentExe]" as Windows Installer expands it, into
 * a buffer of ACTION_PATH_SIZE characters.  FALSE, with an empty text, when
 * it does not fit or cannot be had. */
BOOL GetInstallerProperty(MSIHANDLE hInstall, LPCWSTR lpszName, LPWSTR lpszValue);
BOOL FormatInstallerText(MSIHANDLE hInstall, LPCWSTR lpszText, LPWSTR lpszValue);

#endif
