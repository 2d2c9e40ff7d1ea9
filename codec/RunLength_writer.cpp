#include "codec/RunLength_writer.h"
