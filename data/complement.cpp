// Build step: writes every byte of a plain file complemented (XOR 255), the
// stored form of the profile set.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s PLAIN STORED\n", argv[0]);
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", argv[1]);
    return 1;
  }
  std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  for (auto& c : data) c = static_cast<char>(~static_cast<unsigned char>(c));
  std::string tmp = std::string(argv[2]) + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    if (!out) {
      std::fprintf(stderr, "cannot write %s\n", tmp.c_str());
      return 1;
    }
  }
  return std::rename(tmp.c_str(), argv[2]) == 0 ? 0 : 1;
}
