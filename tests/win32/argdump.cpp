// Stands in for the mailer in the Windows tests: writes every argument it was given, one per
// line, into args.txt beside itself.
#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    std::string path = argv[0];
    size_t cut = path.find_last_of("\\/");
    path = (cut == std::string::npos ? std::string() : path.substr(0, cut + 1)) + "args.txt";
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return 1;
    for (int i = 1; i < argc; ++i)
        std::fprintf(f, "%s\n", argv[i]);
    std::fclose(f);
    return 0;
}
