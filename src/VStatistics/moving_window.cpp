#include "VStatistics/moving_window.h"

void _no_op_func()
{
}
