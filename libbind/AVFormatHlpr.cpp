#include "ModuleDefinition.h"

#define QV_ENTRY(name) QV_TABLE_ENTRY(avformat, name)
QV_DEFINE_LOADER_MODULE(AVFormatHlpr, avformat, "avformat", LIBAVFORMAT_VERSION_MAJOR, QV_AVFORMAT_FUNCTIONS)
