// Symbols of libZelkorD.so are hidden unless marked as exports.
#pragma once
#define ZKD_EXPORT extern "C" __attribute__((visibility("default")))
