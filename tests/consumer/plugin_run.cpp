// Runs the plugin: newsplugin-run FILE.
#include <iostream>
#include <string>

int NewsPluginRoundTrip(const std::string& path);  // in libnewsplugin

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: newsplugin-run FILE\n";
    return 2;
  }
  const int count = NewsPluginRoundTrip(argv[1]);
  if (count != 1) {
    std::cerr << "newsplugin-run: the plugin did not save and load " << argv[1] << "\n";
    return 1;
  }
  std::cout << "newsplugin-run: the plugin saved and loaded 1 message in " << argv[1] << "\n";
  return 0;
}
