/*
 * The argument text and the quit command.
 *
 * The agent brings its own start-up code because the C runtime's differs
 * from what quit requesters rely on: it treats bytes above 0x7F as blanks
 * and lets a quoted program name run on past its closing quote, so
 * "C:\x\agent.exe"q would not be a quit command there.
 */
#include "agent.h"

/* Returns the argument text of a command line: the line less the program's
 * own name and the bytes 0x01 to 0x20 after it.  Lead bytes of the given
 * code page carry their trail byte, so a trail byte that happens to be a
 * double quote does not end a quoted name. */
LPCSTR GetArgumentText(LPCSTR lpCommandLine, UINT codePage)
{
    if (lpCommandLine == NULL)
        return "";

    const BYTE *p = (const BYTE *)lpCommandLine;
    if (*p == '"') {
        ++p;
        while (*p != '\0' && *p != '"') {
            if (IsDBCSLeadByteEx(codePage, *p)) {
                ++p;
                if (*p == '\0')
                    break;
            }
            ++p;
        }
        if (*p == '"')
            ++p;
    } else {
        while (*p > ' ')
            ++p;
    }
    while (*p != '\0' && *p <= ' ')
        ++p;
    return (LPCSTR)p;
}

/* The quit command is exactly "q" or "/q", compared byte by byte: the
 * platform's string comparisons are locale-aware and would let other texts
 * through. */
BOOL IsQuitCommand(LPCSTR lpArgumentText)
{
    if (lpArgumentText == NULL)
        return FALSE;
    const char *p = lpArgumentText;
    if (p[0] == '/')
        ++p;
    return p[0] == 'q' && p[1] == '\0';
}
