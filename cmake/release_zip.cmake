# The operator's release: one zip with both programs, the record-store library, the zkwdbf
# tool and the operator's guide, made by the 32-bit Windows build only (the deliverables are
# 32-bit). The guide is kept as LF text in docs/ and gets its CR LF line ends and the version
# when it is copied into the build.
if(NOT WIN32 OR NOT CMAKE_SIZEOF_VOID_P EQUAL 4)
  return()
endif()
if(NOT TARGET kestrel OR NOT TARGET ZKW_DBF OR NOT TARGET kestrel-cli OR NOT TARGET zkwdbf)
  return()
endif()

set(KESTREL_ZIP_NAME kestrel-${PROJECT_VERSION}-win32)
set(KESTREL_ZIP ${CMAKE_BINARY_DIR}/${KESTREL_ZIP_NAME}.zip)
set(zip_folder ${CMAKE_BINARY_DIR}/${KESTREL_ZIP_NAME})
set(zip_guide ${CMAKE_BINARY_DIR}/GUIDE.TXT)
configure_file(${PROJECT_SOURCE_DIR}/docs/GUIDE.TXT ${zip_guide} @ONLY NEWLINE_STYLE CRLF)

set(zip_files kestrel.exe ZKW_DBF.dll kestrel-cli.exe zkwdbf.exe GUIDE.TXT)
add_custom_command(OUTPUT ${KESTREL_ZIP}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${zip_folder}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${zip_folder}
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:kestrel> $<TARGET_FILE:ZKW_DBF>
          $<TARGET_FILE:kestrel-cli> $<TARGET_FILE:zkwdbf> ${zip_guide} ${zip_folder}
  COMMAND ${CMAKE_COMMAND} -E rm -f ${KESTREL_ZIP}
  COMMAND ${CMAKE_COMMAND} -E chdir ${zip_folder}
          ${CMAKE_COMMAND} -E tar cf ${KESTREL_ZIP} --format=zip ${zip_files}
  DEPENDS kestrel ZKW_DBF kestrel-cli zkwdbf ${zip_guide}
  COMMENT "${KESTREL_ZIP_NAME}.zip: the operator's release")
add_custom_target(kestrel_zip ALL DEPENDS ${KESTREL_ZIP})
