#pragma once

// The characters that Unicode defines as shown as nothing
// (Default_Ignorable_Code_Point): renderers draw nothing for them. Made by
// scripts/default_ignorable.py from DerivedCoreProperties.txt of Unicode
// 15.0.0; not to be edited by hand.

struct code_point_range {
  char32_t first, last;
};

// clang-format off
constexpr code_point_range default_ignorable[] = {
    {0x00AD, 0x00AD},
    {0x034F, 0x034F},
    {0x061C, 0x061C},
    {0x115F, 0x1160},
    {0x17B4, 0x17B5},
    {0x180B, 0x180F},
    {0x200B, 0x200F},
    {0x202A, 0x202E},
    {0x2060, 0x206F},
    {0x3164, 0x3164},
    {0xFE00, 0xFE0F},
    {0xFEFF, 0xFEFF},
    {0xFFA0, 0xFFA0},
    {0xFFF0, 0xFFF8},
    {0x1BCA0, 0x1BCA3},
    {0x1D173, 0x1D17A},
    {0xE0000, 0xE0FFF},
};
// clang-format on
