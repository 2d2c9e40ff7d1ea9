#include "codec/012coding.h"
