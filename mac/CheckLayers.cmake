# Fails when a file of ours includes across the layers the wrong way:
#   Base/                 its own headers only
#   Platform/*.h          the seam: Base/ and other seam headers
#   Platform/<folder>/    adapters: Base/ and anything in Platform/
#   TavrelinMac/          the logic: Base/, its own headers and the seam
#                         headers; no toolkit, curl or POSIX header
#   TavrelinMac/main.cpp, CalDavCommand.cpp  wiring: anything
# Run at build time (cmake -DROOT=<mac/Sources> -P CheckLayers.cmake), so a
# new include is checked by the next build.
file(GLOB_RECURSE files RELATIVE ${ROOT} ${ROOT}/*.h ${ROOT}/*.cpp)
set(problems "")
foreach(file ${files})
  file(STRINGS ${ROOT}/${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
  if(file MATCHES "^Base/")
    set(allowed "^Base/")
  elseif(file MATCHES "^Platform/[^/]+$")
    set(allowed "^(Base/|Platform/[^/]+$)")
  elseif(file MATCHES "^Platform/")
    set(allowed "^(Base/|Platform/)")
  elseif(file MATCHES "^TavrelinMac/(main|CalDavCommand)\\.cpp$")
    set(allowed ".")
  elseif(file MATCHES "^TavrelinMac/")
    set(allowed "^(Base/|TavrelinMac/|Platform/[^/]+$)")
  else()
    string(REGEX REPLACE "/.*" "/" own ${file})
    set(allowed "^(Base/|Platform/|${own})")
  endif()
  foreach(line ${includes})
    if(line MATCHES "\"([^\"]+)\"")
      set(target ${CMAKE_MATCH_1})
      if(NOT target MATCHES "${allowed}")
        string(APPEND problems "  ${file} includes \"${target}\"\n")
      endif()
    elseif(file MATCHES "^(Base|TavrelinMac)/" AND NOT file MATCHES "^TavrelinMac/(main|CalDavCommand)\\.cpp$" AND line MATCHES "<([^>]+)>")
      set(target ${CMAKE_MATCH_1})
      if(target MATCHES "^(Q[A-Za-z]*|curl/.*|unistd\\.h|fcntl\\.h|sys/.*|dlfcn\\.h|pthread\\.h|spawn\\.h|signal\\.h|poll\\.h)$")
        string(APPEND problems "  ${file} includes <${target}>, which its layer may not use\n")
      endif()
    endif()
  endforeach()
endforeach()
if(problems)
  message(FATAL_ERROR "Includes that cross the layers the wrong way:\n${problems}")
endif()
