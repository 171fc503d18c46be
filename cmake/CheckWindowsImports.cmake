# Fails unless the executable imports only DLLs that come with Windows: no mingw runtime
# (libstdc++, libgcc, libwinpthread) and no library of ours.
#   cmake -DOBJDUMP=<objdump for PE> -DEXECUTABLE=<file.exe> -P CheckWindowsImports.cmake
cmake_minimum_required (VERSION 3.22)

set (windows_dlls
    advapi32 comctl32 comdlg32 dxgi gdi32 imm32 kernel32 msvcrt ole32 oleaut32 rpcrt4
    shell32 shlwapi user32 version wininet winmm ws2_32 wsock32)

execute_process (COMMAND ${OBJDUMP} -p ${EXECUTABLE} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)

if (failed)
    message (FATAL_ERROR "cannot read ${EXECUTABLE}")
endif()

string (REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")

if (NOT imports)
    message (FATAL_ERROR "no imports found in ${EXECUTABLE}")
endif()

foreach (line IN LISTS imports)
    string (REGEX REPLACE "DLL Name: ([^ ]+)\\.[dD][lL][lL].*" "\\1" dll "${line}")
    string (TOLOWER "${dll}" dll)

    if (NOT dll IN_LIST windows_dlls)
        message (FATAL_ERROR "${EXECUTABLE} imports ${dll}.dll, which Windows does not have")
    endif()

    list (APPEND found ${dll})
endforeach()

list (REMOVE_DUPLICATES found)
message (STATUS "imports only Windows' own DLLs: ${found}")
