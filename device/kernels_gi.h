// Global-illumination kernels: photon emission and bouncing, the kd-tree k-nearest
// search, density estimation, final-gather record placement and the irradiance cache.
#pragma once

#include "device/cuda_defs.h"
#include "device/cuda_intersect.h"
#include "device/cuda_lights.h"
