// Everything a plug-in uses from the host.
#pragma once

#include "host/oz_addr.h"
#include "host/oz_api.h"
#include "host/oz_config.h"
#include "host/oz_exception.h"
#include "host/oz_flow.h"
#include "host/oz_log.h"
#include "host/oz_plugin.h"
#include "host/oz_thread.h"
#include "host/oz_time.h"
#include "host/oz_util.h"
