# SPDX-License-Identifier: MIT
# cmake -DGZIP=<gzip> -DINPUT=<file> -DOUTPUT=<file.gz> -P PemdorGzip.cmake
# Compresses INPUT into OUTPUT as Debian compresses documentation: best compression and no name
# or time stamp inside, so that the same input always gives the same bytes.
execute_process(COMMAND ${GZIP} -9n -c ${INPUT} OUTPUT_FILE ${OUTPUT} COMMAND_ERROR_IS_FATAL ANY)
