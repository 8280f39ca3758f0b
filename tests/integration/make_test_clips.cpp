// The setup test of the suites that convert clips: makes every clip kind once per CTest run into
// the build's shared clip folder, which those suites then read.
#include <iostream>

#include "clips.h"

int main() {
    const std::string folder = lmk::integration::ClipShelf::SharedFolder();
    if (!lmk::integration::ClipShelf::MakeAll(folder)) {
        std::cerr << "some clips could not be made into " << folder << '\n';
        return 1;
    }
    return 0;
}
