# Run by `cmake --install` for the fhs layout, after the desktop file is in place. Under /usr the
# menu entry runs "trayline", which every session's PATH finds; under any other prefix (~/.local,
# /opt/…) a session's PATH may lack its bin directory, so the entry, and the autostart copy made
# from it, run the absolute path: quoted and escaped as the Desktop Entry rules for Exec ask.
set(desktop "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/share/applications/com.brindle.trayline.desktop")
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr" OR NOT EXISTS "${desktop}")
    return()
endif()
set(arg "${CMAKE_INSTALL_PREFIX}/bin/trayline")
string(REPLACE "%" "%%" arg "${arg}")  # a lone % would start a field code
string(REGEX MATCH "[ \t\n\"'\\\\><~|&;$*?#()`]" reserved "${arg}")
if(NOT reserved STREQUAL "")
    string(REPLACE "\\" "\\\\" arg "${arg}")
    foreach(c "\"" "`" "$")
        string(REPLACE "${c}" "\\${c}" arg "${arg}")
    endforeach()
    set(arg "\"${arg}\"")
endif()
# The key's value is a string: its own escapes apply on top of the quoting.
string(REPLACE "\\" "\\\\" arg "${arg}")
string(REPLACE "\n" "\\n" arg "${arg}")
string(REPLACE "\t" "\\t" arg "${arg}")
string(REPLACE "\r" "\\r" arg "${arg}")
file(READ "${desktop}" entry)
string(REPLACE "\nExec=trayline\n" "\nExec=${arg}\n" entry "${entry}")
file(WRITE "${desktop}" "${entry}")
