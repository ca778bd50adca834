# Warnings and sanitizers for every target of the project.
add_compile_options(-Wall -Wextra -Wformat=2 -Wshadow -Wno-unused-parameter)
if(OZ_WERROR)
  add_compile_options(-Werror)
endif()
if(OZ_ASAN AND OZ_TSAN)
  message(FATAL_ERROR "OZ_ASAN and OZ_TSAN cannot be combined")
endif()
if(OZ_ASAN)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
if(OZ_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

# Installed programs and libraries find the project's libraries in the
# installed library directory, wherever the prefix is.
file(RELATIVE_PATH _oz_bin_to_lib "/p/${CMAKE_INSTALL_BINDIR}" "/p/${CMAKE_INSTALL_LIBDIR}")
set(CMAKE_INSTALL_RPATH "$ORIGIN/${_oz_bin_to_lib};$ORIGIN")
# pkg-config files name their prefix relative to their own place.
file(RELATIVE_PATH OZ_PC_TO_PREFIX "/p/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/p")

# oz_add_object_unit(<name> <source>): a unit also delivered as an object
# module of its own, built from the same source as the library. The source
# must exist: a listed unit that is missing is a configuration error.
function(oz_add_object_unit name source)
  if(NOT EXISTS ${source})
    message(FATAL_ERROR "oz_add_object_unit(${name}): ${source} does not exist")
  endif()
  add_library(${name} OBJECT ${source})
  target_link_libraries(${name} PRIVATE ${ARGN})
endfunction()

# oz_install_pkgconfig(<target> <description> <requires>)
function(oz_install_pkgconfig target description requires)
  set(OZ_PC_NAME ${target})
  set(OZ_PC_DESCRIPTION "${description}")
  set(OZ_PC_REQUIRES "${requires}")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/oz.pc.in ${CMAKE_CURRENT_BINARY_DIR}/${target}.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${target}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endfunction()

# oz_add_library(<target> PUBLIC_LIBS <libs...> PRIVATE_LIBS <libs...>
#                [EXPORTS <version script>] [HEADERS <headers...>])
# A shared library made of every source unit in src/ of the current
# directory, with the public headers in include/. A library without any
# unit is a configuration error.
# EXPORTS: the library exports only what the version script names; its
# units are also the object library <target>_units, which carries the
# internal headers (src/) and every dependency, for the tests and tools that
# reach the library's internals (they link it instead of the shared
# library).
# HEADERS: the headers of include/ that are installed (the public
# interface); without it every header of include/ is.
function(oz_add_library target)
  cmake_parse_arguments(A "" "EXPORTS" "PUBLIC_LIBS;PRIVATE_LIBS;HEADERS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/src/*.c)
  if(NOT srcs)
    message(FATAL_ERROR "oz_add_library(${target}): no source unit in ${CMAKE_CURRENT_SOURCE_DIR}/src")
  endif()
  if(A_EXPORTS)
    add_library(${target}_units OBJECT ${srcs})
    target_include_directories(${target}_units PUBLIC
      ${CMAKE_CURRENT_SOURCE_DIR}/include ${CMAKE_CURRENT_SOURCE_DIR}/src)
    target_link_libraries(${target}_units PUBLIC ${A_PUBLIC_LIBS} ${A_PRIVATE_LIBS})
    add_library(${target} SHARED $<TARGET_OBJECTS:${target}_units>)
    target_link_options(${target} PRIVATE "LINKER:--version-script=${A_EXPORTS}")
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${A_EXPORTS})
  else()
    add_library(${target} SHARED ${srcs})
    target_include_directories(${target} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/src)
  endif()
  target_include_directories(${target} PUBLIC
    $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/orrery>)
  target_link_libraries(${target} PUBLIC ${A_PUBLIC_LIBS} PRIVATE ${A_PRIVATE_LIBS})
  set_target_properties(${target} PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
  install(TARGETS ${target} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  if(A_HEADERS)
    set(hdrs)
    foreach(h ${A_HEADERS})
      if(NOT EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/include/${h})
        message(FATAL_ERROR "oz_add_library(${target}): public header include/${h} does not exist")
      endif()
      list(APPEND hdrs ${CMAKE_CURRENT_SOURCE_DIR}/include/${h})
    endforeach()
  else()
    file(GLOB hdrs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/include/*.h)
  endif()
  if(hdrs)
    install(FILES ${hdrs} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/orrery)
  endif()
endfunction()
