#pragma once

#include <windows.h>

// Pack sizes as published with the patch, kept apart from the installer's table
// so that a wrong entry there fails a test.
constexpr LONGLONG kSystemLocalised = 0x727294C3;
constexpr LONGLONG kSystemFor011 = 0x725930E7;
constexpr LONGLONG kSystemFor01 = 0x725C296A;
constexpr LONGLONG kSystemPatchable = kSystemFor01;
constexpr LONGLONG kEvent02Localised = 0x5F2E6ABF;
constexpr LONGLONG kEvent02Patchable = 0x5F32A8FD;
constexpr LONGLONG kEvent03Localised = 0x7687F0E4;
constexpr LONGLONG kEvent03Patchable = 0x76883937;
constexpr LONGLONG kEvent04Localised = 0x72093F36;
constexpr LONGLONG kEvent04Patchable = 0x720D465C;
