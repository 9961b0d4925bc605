// The nine error-diffusion kernels: each tap's offset from the pixel (dx
// columns ahead in the scan direction, dy rows below) and its weight,
// which the kernel's divisor turns into a share of the error. Static data,
// read by the scan loops at compile time so that only a kernel's real taps
// are applied.
#pragma once

#include "diffusion/diffusion.h"

namespace grainel::kernels {

inline constexpr KernelTap floyd_steinberg[] = {
    {1, 0, 7}, {-1, 1, 3}, {0, 1, 5}, {1, 1, 1}};
inline constexpr KernelTap false_floyd_steinberg[] = {{1, 0, 3}, {0, 1, 3}, {1, 1, 2}};
inline constexpr KernelTap jarvis_judice_ninke[] = {
    {1, 0, 7},  {2, 0, 5},                                          //
    {-2, 1, 3}, {-1, 1, 5}, {0, 1, 7}, {1, 1, 5}, {2, 1, 3},        //
    {-2, 2, 1}, {-1, 2, 3}, {0, 2, 5}, {1, 2, 3}, {2, 2, 1}};
inline constexpr KernelTap stucki[] = {
    {1, 0, 8},  {2, 0, 4},                                          //
    {-2, 1, 2}, {-1, 1, 4}, {0, 1, 8}, {1, 1, 4}, {2, 1, 2},        //
    {-2, 2, 1}, {-1, 2, 2}, {0, 2, 4}, {1, 2, 2}, {2, 2, 1}};
inline constexpr KernelTap atkinson[] = {
    {1, 0, 1}, {2, 0, 1}, {-1, 1, 1}, {0, 1, 1}, {1, 1, 1}, {0, 2, 1}};
inline constexpr KernelTap burkes[] = {
    {1, 0, 8},  {2, 0, 4},                                          //
    {-2, 1, 2}, {-1, 1, 4}, {0, 1, 8}, {1, 1, 4}, {2, 1, 2}};
inline constexpr KernelTap sierra[] = {
    {1, 0, 5},  {2, 0, 3},                                          //
    {-2, 1, 2}, {-1, 1, 4}, {0, 1, 5}, {1, 1, 4}, {2, 1, 2},        //
    {-1, 2, 2}, {0, 2, 3},  {1, 2, 2}};
inline constexpr KernelTap sierra_two_row[] = {
    {1, 0, 4},  {2, 0, 3},                                          //
    {-2, 1, 1}, {-1, 1, 2}, {0, 1, 3}, {1, 1, 2}, {2, 1, 1}};
inline constexpr KernelTap sierra_lite[] = {{1, 0, 2}, {-1, 1, 1}, {0, 1, 1}};

// Atkinson keeps divisor 8 although its weights add up to 6: a quarter of
// every error is deliberately dropped.
inline constexpr DiffusionMethod methods[] = {
    {"floyd_steinberg", floyd_steinberg, 16},
    {"false_floyd_steinberg", false_floyd_steinberg, 8},
    {"jarvis_judice_ninke", jarvis_judice_ninke, 48},
    {"stucki", stucki, 42},
    {"atkinson", atkinson, 8},
    {"burkes", burkes, 32},
    {"sierra", sierra, 32},
    {"sierra_two_row", sierra_two_row, 16},
    {"sierra_lite", sierra_lite, 4},
};

}  // namespace grainel::kernels
