#include "ModuleDefinition.h"

#define QV_ENTRY(name) QV_TABLE_ENTRY(swscale, name)
QV_DEFINE_LOADER_MODULE(SwScaleHlpr, swscale, "swscale", LIBSWSCALE_VERSION_MAJOR, QV_SWSCALE_FUNCTIONS)
