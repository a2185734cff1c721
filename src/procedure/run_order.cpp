#include "procedure/run_order.h"

#include <cstdio>

#include "procedure/answer.h"
#include "procedure/reprogramming.h"
#include "serial_link/serial_link.h"
#include "settings/capture.h"

int run_firmware_update() {
    std::printf("\n");
    std::printf("VORTAN FIRMWARE PROGRAM UTILITY\n");
    std::printf("       v1.3  for  K210\n");
    std::printf("Enter COM Port #>");
    const int digit = read_answer();
    if (digit == ANSWER_END_OF_INPUT) {
        report_end_of_input();
        return RUN_STOPPED;
    }
    if (digit < '1' || digit > '9') {
        std::printf(" Invalid Response\n");
        return RUN_STOPPED;
    }
    char port_name[] = "COMx";
    port_name[3] = static_cast<char>(digit);
    if (open_port(port_name) != PORT_OK) {
        report_open_failure(port_name);
        return RUN_FAILED;
    }
    const int captured = capture_settings();
    if (captured != CAPTURE_CONTINUE) return captured;
    return run_reprogramming(port_name);
}
