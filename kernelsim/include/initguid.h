/* initguid.h - DEFINE_GUID already defines the GUID in every translation unit here. */
#pragma once
