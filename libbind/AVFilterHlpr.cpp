#include "ModuleDefinition.h"

#define QV_ENTRY(name) QV_TABLE_ENTRY(avfilter, name)
QV_DEFINE_LOADER_MODULE(AVFilterHlpr, avfilter, "avfilter", LIBAVFILTER_VERSION_MAJOR, QV_AVFILTER_FUNCTIONS)
