# Third-party code: Boost and nlohmann-json (headers only), TinyXML (built here) and GoogleTest.

# Boost: a folder holding nothing but the boost headers, so that the cross compiler
# never sees the host's /usr/include.
set(QUIBRIX_BOOST_HEADERS /usr/include/boost CACHE PATH "Boost header folder")
if(NOT EXISTS ${QUIBRIX_BOOST_HEADERS}/shared_ptr.hpp)
  message(FATAL_ERROR "Boost headers not found in ${QUIBRIX_BOOST_HEADERS} (install libboost-dev)")
endif()
set(QUIBRIX_BOOST_INCLUDE ${CMAKE_BINARY_DIR}/boost-include)
file(MAKE_DIRECTORY ${QUIBRIX_BOOST_INCLUDE})
file(CREATE_LINK ${QUIBRIX_BOOST_HEADERS} ${QUIBRIX_BOOST_INCLUDE}/boost SYMBOLIC)
add_library(quibrix_boost INTERFACE)
target_include_directories(quibrix_boost SYSTEM INTERFACE ${QUIBRIX_BOOST_INCLUDE})
target_compile_definitions(quibrix_boost INTERFACE BOOST_ALL_NO_LIB)

# TinyXML: Debian's source package, unpacked by scripts/common.sh.
set(QUIBRIX_TINYXML_DIR "" CACHE PATH "Unpacked TinyXML 2.6.2 source (Debian source package)")
if(NOT EXISTS "${QUIBRIX_TINYXML_DIR}/tinyxml.cpp")
  message(FATAL_ERROR "QUIBRIX_TINYXML_DIR does not hold TinyXML's sources: "
                      "'${QUIBRIX_TINYXML_DIR}' (scripts/test fetches them)")
endif()
add_library(tinyxml STATIC
  ${QUIBRIX_TINYXML_DIR}/tinystr.cpp
  ${QUIBRIX_TINYXML_DIR}/tinyxml.cpp
  ${QUIBRIX_TINYXML_DIR}/tinyxmlerror.cpp
  ${QUIBRIX_TINYXML_DIR}/tinyxmlparser.cpp)
target_include_directories(tinyxml SYSTEM PUBLIC ${QUIBRIX_TINYXML_DIR})
# Debian's patch builds TinyXML with the STL interface; every user must agree on the layout.
target_compile_definitions(tinyxml PUBLIC TIXML_USE_STL)

# nlohmann-json, headers only: Debian's source package, unpacked by scripts/common.sh.
set(QUIBRIX_JSON_DIR "" CACHE PATH "Unpacked nlohmann-json 3.11.2 source (Debian source package)")
if(NOT EXISTS "${QUIBRIX_JSON_DIR}/single_include/nlohmann/json.hpp")
  message(FATAL_ERROR "QUIBRIX_JSON_DIR does not hold nlohmann-json's headers: "
                      "'${QUIBRIX_JSON_DIR}' (scripts/test fetches them)")
endif()
add_library(nlohmann_json INTERFACE)
target_include_directories(nlohmann_json SYSTEM INTERFACE ${QUIBRIX_JSON_DIR}/single_include)

# GoogleTest, built only for the test programs that use it.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
# The framework's own speed does not matter, its compile time does (the longest single
# step of a clean build).
target_compile_options(gtest PRIVATE -O1 -g0)

# TagLib and libexif, for the metadata plug-ins.
include(MetadataLibraries)
