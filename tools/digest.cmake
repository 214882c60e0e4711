# The tool's content digests (SHA-256 through OpenSSL, XXH3-128 through xxHash) as a static library of
# their own, so that the tool and DigestTest compile Digest.cpp once. Safe to include more than once.
if(NOT TARGET fsdb_digest)
  find_package(OpenSSL REQUIRED COMPONENTS Crypto)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(XXHASH REQUIRED IMPORTED_TARGET GLOBAL libxxhash)
  # Whichever folder includes this first, the imported targets must be visible to every consumer.
  set_target_properties(OpenSSL::Crypto PROPERTIES IMPORTED_GLOBAL TRUE)

  # ToolMetadata.cpp carries a digest (with owner and group) in an entry's metadata document, and
  # DigestIndex.cpp keeps a scan's digests by file identity for the next scan.
  add_library(fsdb_digest STATIC ${CMAKE_CURRENT_LIST_DIR}/Digest.cpp ${CMAKE_CURRENT_LIST_DIR}/DigestIndex.cpp
              ${CMAKE_CURRENT_LIST_DIR}/ToolMetadata.cpp)
  target_compile_options(fsdb_digest PRIVATE ${FSDB_WARNINGS})
  target_include_directories(fsdb_digest PUBLIC ${CMAKE_CURRENT_LIST_DIR})
  target_link_libraries(fsdb_digest PUBLIC OpenSSL::Crypto PkgConfig::XXHASH Threads::Threads)
endif()
