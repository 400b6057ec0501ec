# cmake -DDIST=<dist folder> -P digest.cmake
# Writes <dist>/SHA256SUMS for what a publisher ships (the package folder and
# the MSI), in sha256sum's format (`cd dist && sha256sum -c SHA256SUMS`), and
# prints it. Run at the end of the Windows build and again after signing.
if(NOT DIST OR NOT IS_DIRECTORY "${DIST}/Kestrovane")
    message(FATAL_ERROR "digest.cmake: no package in '${DIST}'")
endif()
file(GLOB_RECURSE files RELATIVE "${DIST}" "${DIST}/Kestrovane/*")
file(GLOB msis RELATIVE "${DIST}" "${DIST}/Kestrovane-*.msi")
list(APPEND files ${msis})
list(SORT files)
set(sums "")
foreach(file ${files})
    file(SHA256 "${DIST}/${file}" hash)
    file(SIZE "${DIST}/${file}" size)
    string(APPEND sums "${hash}  ${file}\n")
    message("${hash}  ${file}  (${size} bytes)")
endforeach()
file(WRITE "${DIST}/SHA256SUMS" "${sums}")
message("SHA256SUMS written to ${DIST}/SHA256SUMS")
