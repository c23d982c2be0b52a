#pragma once
// COM object support: object templates, interface holder, module count, class factory and
// the boundary helper.
#include "trellum/com/class_table.h"
#include "trellum/com/factory.h"
#include "trellum/com/guarded_call.h"
#include "trellum/com/module_count.h"
#include "trellum/com/object.h"
#include "trellum/com/ref.h"
#include "trellum/com/value.h"
