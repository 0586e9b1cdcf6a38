# Run by CPack on the staged install, before it builds the .deb: moves the
# documentation to /usr/share/doc/PACKAGE, adds the license as a
# machine-readable copyright file and a changelog, and compresses the man page,
# the changelog and the README as Debian does (gzip -9n).
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
set(usr ${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX})
set(doc ${usr}/share/doc/${CPACK_PACKAGE_NAME})
file(RENAME ${usr}/${CPACK_MIDQUAD_DOCDIR} ${doc})
file(REMOVE ${doc}/LICENSE) # the copyright file carries it

# The license's text after its title and copyright line, indented, with
# blank lines as " .".
file(READ ${CPACK_MIDQUAD_LICENSE} license)
string(REGEX REPLACE "^.*Copyright[^\n]*\n\n" "" license "${license}")
string(STRIP "${license}" license)
string(REPLACE "\n\n" "\n.\n" license "${license}")
string(REPLACE "\n" "\n " license "${license}")
file(WRITE ${doc}/copyright
     "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: midquad

Files: *
Copyright: 2026 the midquad authors
License: Expat
 ${license}
")

string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${doc}/changelog "midquad (${CPACK_PACKAGE_VERSION}) unstable; urgency=medium

  * midquad ${CPACK_PACKAGE_VERSION}, packaged as ${CPACK_PACKAGE_NAME}.

 -- ${CPACK_PACKAGE_CONTACT}  ${date}
")
foreach(file ${doc}/changelog ${doc}/README.md ${usr}/${CPACK_MIDQUAD_MANDIR}/man1/midquad.1)
  execute_process(COMMAND gzip -9n ${file} COMMAND_ERROR_IS_FATAL ANY)
endforeach()
