# The one place that knows how the Windows widths spell symbols, so that
# sources and .def files stay the same for both.

# A WINAPI (stdcall) function taking argBytes bytes of arguments, as a .def
# file names it: Name@N on 32-bit, Name on 64-bit.
function(win_stdcall_export out name argBytes)
    if(WIN_STDCALL_DECORATED)
        set(name "${name}@${argBytes}")
    endif()
    set(${out} "${name}" PARENT_SCOPE)
endfunction()

# Links target with its own entry point (a WINAPI function without
# arguments) instead of the C runtime's; the linker wants the 32-bit name
# with its leading underscore.
function(win_entry_point target name)
    win_stdcall_export(symbol ${name} 0)
    if(WIN_STDCALL_DECORATED)
        set(symbol "_${symbol}")
    endif()
    target_link_options(${target} PRIVATE -Wl,--entry,${symbol})
endfunction()
