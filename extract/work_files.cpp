#include "extract/work_files.h"
