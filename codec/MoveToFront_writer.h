#pragma once
#include "codec/MoveToFront.h"
