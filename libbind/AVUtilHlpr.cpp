#include "ModuleDefinition.h"

#define QV_ENTRY(name) QV_TABLE_ENTRY(avutil, name)
QV_DEFINE_LOADER_MODULE(AVUtilHlpr, avutil, "avutil", LIBAVUTIL_VERSION_MAJOR, QV_AVUTIL_FUNCTIONS)
