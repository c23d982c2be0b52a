#pragma once
// Everything corun offers.
#include "corun/blocking_wait.h"
#include "corun/cancellation.h"
#include "corun/errors.h"
#include "corun/fire_and_forget.h"
#include "corun/future.h"
#include "corun/latch.h"
#include "corun/ready_or_cancelled.h"
#include "corun/shared_future.h"
#include "corun/srw_lock.h"
#include "corun/thread_pool.h"
