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
# module of its own, built from the same source as the library.
function(oz_add_object_unit name source)
  if(EXISTS ${source})
    add_library(${name} OBJECT ${source})
    target_link_libraries(${name} PRIVATE ${ARGN})
  endif()
endfunction()

# oz_install_pkgconfig(<target> <description> <requires>)
function(oz_install_pkgconfig target description requires)
  set(OZ_PC_NAME ${target})
  set(OZ_PC_DESCRIPTION "${description}")
  set(OZ_PC_REQUIRES "${requires}")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/oz.pc.in ${CMAKE_CURRENT_BINARY_DIR}/${target}.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${target}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endfunction()

# oz_add_library(<target> PUBLIC_LIBS <libs...> PRIVATE_LIBS <libs...>)
# A shared library made of every source unit in src/ of the current
# directory, with the public headers in include/. While a library has no
# unit yet it is an interface target, so that its users still configure.
function(oz_add_library target)
  cmake_parse_arguments(A "" "" "PUBLIC_LIBS;PRIVATE_LIBS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/src/*.c)
  if(srcs)
    add_library(${target} SHARED ${srcs})
    target_include_directories(${target} PUBLIC
      $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>
      $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/orrery>)
    target_include_directories(${target} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/src)
    target_link_libraries(${target} PUBLIC ${A_PUBLIC_LIBS} PRIVATE ${A_PRIVATE_LIBS})
    set_target_properties(${target} PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
    install(TARGETS ${target} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  else()
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE
      $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>)
    target_link_libraries(${target} INTERFACE ${A_PUBLIC_LIBS})
  endif()
  file(GLOB hdrs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/include/*.h)
  if(hdrs)
    install(FILES ${hdrs} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/orrery)
  endif()
endfunction()
