# quillet_version_resource(TARGET FILENAME PRODUCT DESCRIPTION VFT_DLL|VFT_APP): a
# VERSIONINFO resource for a Windows binary, from the project version (PROJECT_VERSION_*).
function(quillet_version_resource target filename product description filetype)
  set(QUILLET_RC_FILENAME ${filename})
  get_filename_component(QUILLET_RC_INTERNAL_NAME ${filename} NAME_WE)
  set(QUILLET_RC_PRODUCT ${product})
  set(QUILLET_RC_DESCRIPTION ${description})
  set(QUILLET_RC_FILETYPE ${filetype})
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
