# Writes a public client header as it is installed in include/varnex/:
#   cmake -DINPUT=client/x.h -DOUTPUT=.../varnex/x.h -DPUBLIC=a.h,b.h -P public_header.cmake
# An include "client/NAME.h" (or "protocol/NAME.h") of another public header
# becomes "NAME.h"; an include of any other header of this tree (support/, a
# client or protocol header that is not public) stops the build, since an
# installed program could not find it.
cmake_minimum_required(VERSION 3.25)
string(REPLACE "," ";" PUBLIC "${PUBLIC}")
file(READ ${INPUT} text)
string(REGEX MATCHALL "#include \"[^\"]*\"" includes "${text}")
foreach(inc ${includes})
  string(REGEX REPLACE "#include \"([^\"]*)\"" "\\1" path "${inc}")
  get_filename_component(name ${path} NAME)
  if(NOT path MATCHES "^(client|protocol)/" OR NOT name IN_LIST PUBLIC)
    message(FATAL_ERROR "${INPUT}: the public header includes ${path}, which is not installed")
  endif()
  string(REPLACE "${inc}" "#include \"${name}\"" text "${text}")
endforeach()
file(WRITE ${OUTPUT}.tmp "${text}")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.tmp)
