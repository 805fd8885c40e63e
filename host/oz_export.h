// Symbols of the host library stay visible to plug-ins that are built with
// hidden visibility; without this their references would be hidden too.
#pragma once

#define OZ_HOST_API __attribute__((visibility("default")))
