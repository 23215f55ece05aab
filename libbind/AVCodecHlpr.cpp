#include "ModuleDefinition.h"

#define QV_ENTRY(name) QV_TABLE_ENTRY(avcodec, name)
QV_DEFINE_LOADER_MODULE(AVCodecHlpr, avcodec, "avcodec", LIBAVCODEC_VERSION_MAJOR, QV_AVCODEC_FUNCTIONS)
