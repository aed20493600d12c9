// The run driver: banner, capture time, then the adapter and capture phases.
#include "platform.h"
#include "quorvane.h"

int main(int argc, char** argv) {
  set_up_console();

  char own_path[4096];
  printf(
      "Quorvane Version 1.0. To configure capture time ( in second ), run it "
      "as %s [duration]\n\n",
      program_name(argc, argv, own_path, sizeof own_path));
  const int duration_ms = read_duration_ms(argc, argv);

  AdapterTable adapters;
  pcap_if_t* devices = nullptr;
  if (!open_adapters(&adapters, &devices)) return EXIT_RUN_FAILED;

  if (!capture(&adapters, devices, duration_ms)) return EXIT_RUN_FAILED;
  return 0;
}
