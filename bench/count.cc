// Prints the number of records in each capture file given, one a line,
// or -1 for a file that does not read to its end.
#include <pcap/pcap.h>
#include <stdio.h>

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    char errbuf[PCAP_ERRBUF_SIZE];
    pcap_t* p = pcap_open_offline(argv[i], errbuf);
    long records = 0;
    int rc = PCAP_ERROR;
    if (p != nullptr) {
      pcap_pkthdr* header = nullptr;
      const u_char* data = nullptr;
      while ((rc = pcap_next_ex(p, &header, &data)) == 1) ++records;
      pcap_close(p);
    }
    printf("%ld\n", rc == PCAP_ERROR_BREAK ? records : -1L);
  }
  return 0;
}
