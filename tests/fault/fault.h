// Test-only fault injection over the wrapped calls listed in points.def.
#pragma once
#include <cstdint>

enum {
    FAULT_OFF,
    FAULT_RECORD,     // list every distinct point the run reaches
    FAULT_FAIL_POINT, // fail the first call at the point whose key is the target
    FAULT_FAIL_CALL,  // fail the target-th call, whatever its point
};

struct fault_point {
    uint64_t key;
    const char* name;
};

void fault_arm(int mode, uint64_t target);
void fault_disarm();
bool fault_fired();
const char* fault_fired_name();
int fault_point_count();
const fault_point* fault_points();
uint64_t fault_call_count();
