# OpenCV through its own CMake package (Debian's libopencv-dev, which brings every OpenCV
# module and their dependencies) or, where only the development packages of the modules
# asked for are installed (make demo installs those, a fraction of the whole), from their
# headers and libraries. Sets what the package does: OpenCV_FOUND, OpenCV_INCLUDE_DIRS,
# OpenCV_LIBS.
find_package(OpenCV CONFIG QUIET COMPONENTS ${OpenCV_FIND_COMPONENTS})
if(OpenCV_FOUND)
  return()
endif()

find_path(OpenCV_INCLUDE_DIRS opencv2/core.hpp PATH_SUFFIXES opencv4)
set(OpenCV_LIBS "")
foreach(part IN LISTS OpenCV_FIND_COMPONENTS)
  find_library(OpenCV_${part}_LIBRARY opencv_${part})
  set(OpenCV_${part}_FOUND FALSE)
  if(OpenCV_INCLUDE_DIRS AND OpenCV_${part}_LIBRARY AND EXISTS ${OpenCV_INCLUDE_DIRS}/opencv2/${part}.hpp)
    set(OpenCV_${part}_FOUND TRUE)
    list(APPEND OpenCV_LIBS ${OpenCV_${part}_LIBRARY})
  endif()
endforeach()
include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(OpenCV REQUIRED_VARS OpenCV_INCLUDE_DIRS HANDLE_COMPONENTS)
