/*
 * Reading the event code of an AGENT_MSG_EVENT message.
 *
 * Any program on the desktop can send that message with any LPARAM, so the
 * address is checked against the process's own memory map before the code
 * is read: a null, unmapped, reserved, guard or no-access address is refused
 * instead of faulting inside the window procedure.
 */
#include "agent.h"

static const DWORD READABLE_PROTECTION =
    PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY |
    PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;

static BOOL IsReadableByte(ULONG_PTR address)
{
    MEMORY_BASIC_INFORMATION mbi;
    if (VirtualQuery((LPCVOID)address, &mbi, sizeof mbi) != sizeof mbi)
        return FALSE;
    if (mbi.State != MEM_COMMIT)
        return FALSE;
    if (mbi.Protect & (PAGE_GUARD | PAGE_NOACCESS))
        return FALSE;
    return (mbi.Protect & READABLE_PROTECTION) != 0;
}

/* Reads the 32-bit event code at the address in lParam, in the platform's
 * byte order and at any alignment.  FALSE when the four bytes are not all
 * readable; *pdwCode is then left alone. */
BOOL ReadEventCode(LPARAM lParam, DWORD *pdwCode)
{
    const ULONG_PTR first = (ULONG_PTR)lParam;
    const ULONG_PTR last = first + (sizeof(DWORD) - 1);
    if (first == 0 || last < first)
        return FALSE;
    /* Four bytes span at most two pages, so the first and last byte cover
     * every page involved. */
    if (!IsReadableByte(first) || !IsReadableByte(last))
        return FALSE;

    const volatile BYTE *p = (const volatile BYTE *)first;
    *pdwCode = (DWORD)p[0] | ((DWORD)p[1] << 8) | ((DWORD)p[2] << 16) | ((DWORD)p[3] << 24);
    return TRUE;
}
