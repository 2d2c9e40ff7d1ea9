#pragma once
#include "codec/012coding.h"
