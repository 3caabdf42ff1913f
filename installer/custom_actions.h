/*
 * The package's custom actions, in a DLL that Windows Installer runs from
 * the package's Binary table: it is never installed, so it is there before
 * the agent's files are and after they are gone.
 *
 *   StopAgents  deferred and not impersonated, before any file is replaced
 *               or removed: ends every running agent.exe of this
 *               installation, in every session (stop_agents.cpp).  Also
 *               the rollback of StartAgent: a failed installation ends what
 *               StartAgent started from the files it takes away.
 *   StartAgent  deferred and not impersonated, once the files are in
 *               place: one agent in every session that has a signed-in
 *               user, with that user's own token (start_agent.cpp).
 *
 * Both run in the installer's own context, LocalSystem under the Windows
 * Installer service, whoever started the installation: only that context
 * reaches every session.  Each takes the installed agent's path as its
 * CustomActionData.
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
    ACTION_PATH_SIZE = 1024,
    /* One agent runs per session at most; a terminal server with more
     * sessions than this is served in several rounds. */
    MAX_AGENTS = 256
};

/* ProcessIdToSessionId's answer where it has none. */
#define NO_SESSION ((DWORD)-1)

/* A running agent, opened to wait for, end and ask about. */
struct RunningAgent {
    DWORD dwPid;
    DWORD dwSession;
    HANDLE hProcess;
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

/* The installed agent's path from CustomActionData, in its long form; FALSE,
 * said in the log under the action's name, when none was given. */
BOOL GetAgentPath(MSIHANDLE hInstall, LPCWSTR lpszAction, LPWSTR lpszPath);

/* The path in its long form, so that a short (8.3) spelling of the same file
 * compares equal; left as it is when it cannot be resolved. */
void MakeLongPath(LPWSTR lpszPath);

/* Opens the running agents of lpszAgentPath, at most MAX_AGENTS, into
 * agents; how many.  CloseAgents closes what it opened. */
int FindAgents(LPCWSTR lpszAgentPath, RunningAgent *agents);
void CloseAgents(RunningAgent *agents, int count);

#endif
