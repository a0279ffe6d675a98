// Loads a database file and saves it under another name: the program whose peak memory the
// benchmark notes quote.
#include <iostream>

#include "NewsDB.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cout << "Usage: load_save from.db to.db" << std::endl;
    return 2;
  }
  NewsDB db{std::string(argv[1])};
  if (db.DidConstructionFail()) return 1;
  return db.SerializeFile(argv[2]) ? 0 : 1;
}
