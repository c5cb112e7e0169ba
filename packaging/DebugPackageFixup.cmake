# Run by CPack after it built the packages (CPACK_POST_BUILD_SCRIPTS).
#
# CMake 3.25 builds each -dbgsym package with an md5sums file that names the
# files by their path in CPack's staging tree, and without the doc directory
# every Debian package carries. Rebuild each one as debhelper would: md5sums
# relative to the root, and /usr/share/doc/<package>-dbgsym a symlink to the
# doc directory of the package it belongs to (which it depends on exactly).

find_program(DPKG_DEB dpkg-deb REQUIRED)

foreach(package IN LISTS CPACK_PACKAGE_FILES)
    if(NOT package MATCHES "/([^/_]+)-dbgsym_[^/]+\\.ddeb$")
        continue()
    endif()
    set(owner ${CMAKE_MATCH_1})
    set(tree ${package}.tree)
    file(REMOVE_RECURSE ${tree})
    execute_process(COMMAND ${DPKG_DEB} --raw-extract ${package} ${tree}
                    COMMAND_ERROR_IS_FATAL ANY)

    file(STRINGS ${tree}/DEBIAN/md5sums lines)
    set(md5sums "")
    foreach(line IN LISTS lines)
        string(REGEX REPLACE "^([0-9a-f]+)  .*/(usr/lib/debug/.*)$" "\\1  \\2" line "${line}")
        string(APPEND md5sums "${line}\n")
    endforeach()
    file(WRITE ${tree}/DEBIAN/md5sums "${md5sums}")

    file(MAKE_DIRECTORY ${tree}/usr/share/doc)
    file(CREATE_LINK ${owner} ${tree}/usr/share/doc/${owner}-dbgsym SYMBOLIC)

    execute_process(COMMAND ${DPKG_DEB} --root-owner-group --build ${tree} ${package}
                    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE_RECURSE ${tree})
endforeach()
