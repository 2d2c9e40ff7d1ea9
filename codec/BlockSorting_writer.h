#pragma once
#include "codec/BlockSorting.h"
