# nimbrelle_package_dir(OUT PACKAGE VARIABLE): pkg-config's VARIABLE of PACKAGE (a plug-in
# folder such as pluginsdir), relative to that package's own prefix when it lies under it, so
# that installing under another prefix (or a staged one) gives the same layout; else absolute.
function(nimbrelle_package_dir out package variable)
  pkg_get_variable(prefix ${package} prefix)
  pkg_get_variable(dir ${package} ${variable})
  cmake_path(IS_PREFIX prefix "${dir}" NORMALIZE under_prefix)
  if(under_prefix)
    file(RELATIVE_PATH dir "${prefix}" "${dir}")
  endif()
  set(${out} "${dir}" PARENT_SCOPE)
endfunction()
