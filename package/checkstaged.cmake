# Run by cpack on the staged files before it makes the package: a package that would lack one
# of the files it ships, or the libraries it depends on, fails here and says why.

set(problems)
foreach(file IN LISTS CPACK_DBUPDATE_SHIPPED_FILES)
    file(GLOB staged "${CPACK_TEMPORARY_DIRECTORY}/${file}" "${CPACK_TEMPORARY_DIRECTORY}/*/${file}")
    if(staged)
        continue()
    endif()
    set(problem "it would lack ${CPACK_PACKAGING_INSTALL_PREFIX}/${file}")
    if(file MATCHES "/man1/" AND CPACK_DBUPDATE_MISSING_MAN_PAGE_TOOLS)
        string(APPEND problem ", as the build was configured without "
            "${CPACK_DBUPDATE_MISSING_MAN_PAGE_TOOLS}: install it and configure again")
    endif()
    list(APPEND problems "${problem}")
endforeach()

# cpack makes the Depends field with these; without them it would lack the Qt libraries.
foreach(tool file:file dpkg-shlibdeps:dpkg-dev)
    string(REPLACE ":" ";" tool ${tool})
    list(GET tool 0 program)
    list(GET tool 1 debianPackage)
    find_program(found_${program} ${program})
    if(NOT found_${program})
        list(APPEND problems "its Depends field needs ${program} (apt-get install ${debianPackage})")
    endif()
endforeach()

file(STRINGS ${CPACK_DBUPDATE_CHANGELOG} latestEntry LIMIT_COUNT 1)
if(NOT latestEntry MATCHES "^${CPACK_PACKAGE_NAME} \\(${CPACK_PACKAGE_VERSION}\\) ")
    list(APPEND problems "its changelog's latest entry is \"${latestEntry}\", not one for \
version ${CPACK_PACKAGE_VERSION}: add one to package/changelog.in")
endif()

if(problems)
    list(JOIN problems "\n  " problems)
    message(FATAL_ERROR
        "The package ${CPACK_PACKAGE_NAME} ${CPACK_PACKAGE_VERSION} is not made:\n  ${problems}")
endif()
