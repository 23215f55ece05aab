#include "ModuleDefinition.h"

#define QV_ENTRY(name) QV_TABLE_ENTRY(swresample, name)
QV_DEFINE_LOADER_MODULE(SwResampleHlpr, swresample, "swresample", LIBSWRESAMPLE_VERSION_MAJOR, QV_SWRESAMPLE_FUNCTIONS)
