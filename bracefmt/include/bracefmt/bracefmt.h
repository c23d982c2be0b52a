#pragma once
// The brace-format engine.
#include "bracefmt/errors.h"
#include "bracefmt/format.h"
#include "bracefmt/parse.h"
