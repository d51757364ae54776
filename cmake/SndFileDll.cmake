# sndfile.dll beside the Windows executables. The player loads libsndfile only
# from its own folder, so every program (and the test suite that decodes real
# files) gets a copy of the DLL that tools/build-sndfile-dll built and cached.
# AL_SNDFILE_DLL names that file; the windows preset points it at the cache.
# Without it the programs still build and refuse FLAC, MP3 and AIFF.
set(AL_SNDFILE_DLL "" CACHE FILEPATH "sndfile.dll to place beside the Windows executables")

set(AL_SNDFILE_DLL_FOUND OFF)
if(WIN32 AND AL_SNDFILE_DLL)
  if(EXISTS "${AL_SNDFILE_DLL}")
    set(AL_SNDFILE_DLL_FOUND ON)
    file(REAL_PATH "${AL_SNDFILE_DLL}" al_sndfile_dll_real)
    message(STATUS "sndfile.dll: ${al_sndfile_dll_real}")
  else()
    message(STATUS "sndfile.dll not built yet (tools/build-sndfile-dll): the Windows programs "
                   "will refuse FLAC, MP3 and AIFF")
  endif()
endif()

# Copies the DLL beside `target`'s file whenever the target is built, through
# the path as given: when the cache's "current" link moves to a rebuilt DLL,
# the next build copies the new one.
function(al_ship_sndfile_dll target)
  if(NOT AL_SNDFILE_DLL_FOUND)
    return()
  endif()
  add_custom_target(${target}_sndfile_dll
    COMMAND ${CMAKE_COMMAND} -E copy_if_different "${AL_SNDFILE_DLL}"
            "$<TARGET_FILE_DIR:${target}>/sndfile.dll"
    COMMENT "sndfile.dll beside ${target}"
    VERBATIM)
  add_dependencies(${target} ${target}_sndfile_dll)
endfunction()
