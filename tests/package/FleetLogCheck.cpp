// Reads a file of JSON lines as a log shipper would, one object per line, and prints one line per object:
// "CHANGE KIND PATH" for a difference (with " FROM" for a move), "summary" for a closing count. Exits 1,
// naming the line, when a line is not a JSON object or lacks the fields a reader relies on.

#include <fstream>
#include <iostream>
#include <string>

#include <nlohmann/json.hpp>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: FleetLogCheck FILE\n";
    return 2;
  }
  std::ifstream in(argv[1]);
  if (!in) {
    std::cerr << "cannot read " << argv[1] << '\n';
    return 2;
  }
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    const nlohmann::json object = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
    if (!object.is_object()) {
      std::cerr << "line " << number << " is not a JSON object: " << line << '\n';
      return 1;
    }
    if (object.contains("summary") && object["summary"].is_object()) {
      std::cout << "summary\n";
      continue;
    }
    for (const char* field : {"change", "kind", "path"}) {
      if (!object.contains(field) || !object[field].is_string()) {
        std::cerr << "line " << number << " lacks the text field \"" << field << "\": " << line << '\n';
        return 1;
      }
    }
    std::cout << object["change"].get<std::string>() << ' ' << object["kind"].get<std::string>() << ' '
              << object["path"].get<std::string>();
    if (object.contains("from") && object["from"].is_string())
      std::cout << ' ' << object["from"].get<std::string>();
    std::cout << '\n';
  }
  return 0;
}
