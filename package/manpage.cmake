# Makes the manual page dbupdate(1) with help2man from the program's --help and --version.
# The table of --version becomes a section of its own, FILES: help2man would run it into the
# last paragraph of --help.
#
#     cmake -DPROGRAM=dbupdate -DHELP2MAN=help2man -DINCLUDE=dbupdate.h2m -DOUTPUT=dbupdate.1
#           -P manpage.cmake

execute_process(COMMAND ${PROGRAM} --version
    OUTPUT_VARIABLE versionText RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} --version failed: ${status}")
endif()
string(REGEX REPLACE "\n+$" "" versionText "${versionText}")
string(REPLACE "\n" ";" lines "${versionText}")
list(POP_FRONT lines versionLine heading)

# After the heading ("File        Brought to version"), one row per file.
file(READ ${INCLUDE} include)
string(APPEND include "[FILES]\n"
    "The files in the working directory that a run brings up to date, in this order, and the\n"
    "version it brings each one to:\n")
foreach(line IN LISTS lines)
    if(NOT line MATCHES "^([^ ]+)  +([^ ].*)$")
        message(FATAL_ERROR "${PROGRAM} --version: no file and version in \"${line}\"")
    endif()
    set(file ${CMAKE_MATCH_1})
    set(version ${CMAKE_MATCH_2})
    if(version MATCHES "^[0-9]+$")
        set(version "version ${version}")
    endif()
    string(APPEND include ".TP 14\n.B ${file}\n${version}\n")
    # One line per file: no space between the rows after the first.
    string(APPEND include ".PD 0\n")
endforeach()
string(APPEND include ".PD\n")

get_filename_component(directory ${OUTPUT} DIRECTORY)
file(WRITE ${directory}/dbupdate-generated.h2m "${include}")
execute_process(COMMAND ${HELP2MAN} --no-info --section=1 --version-string=${versionLine}
        --include=${directory}/dbupdate-generated.h2m --output=${OUTPUT} ${PROGRAM}
    RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "help2man failed: ${status}")
endif()
