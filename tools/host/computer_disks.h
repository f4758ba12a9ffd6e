// The disks of the simulated computer's session: images made in its work directory, the
// drives they are mounted in, and what each file must hold when the session is over.
#pragma once

#include <string>
#include <vector>

#include "atr_image.h"

namespace rig {

// Which image each drive holds. D7-D9 stay empty.
enum Drive : unsigned {
    kDemoDrive = 1,      // the bootable demo disk, 720 x 128
    kBlankDrive = 2,     // a blank 720 x 128 disk that the scenarios write
    kDoubleDrive = 3,    // double density, 720 x 256
    kEnhancedDrive = 4,  // enhanced density, 1040 x 128
    kSingleDrive = 5,    // a second single-density disk, for the formats
    kReadOnlyDrive = 6,  // a copy of the demo disk, mounted read-only
    kEmptyDrive = 7,
};

class DiskSet {
public:
    struct Disk {
        unsigned drive;
        std::string path;  // Unix path of the file
        bool readOnly;
        AtrImage expected;  // what the file holds, and must hold at the end
    };

    // Writes the images into workDir; throws std::runtime_error when it cannot.
    explicit DiskSet(const std::string& workDir);

    // "Dn=Z:\...\file.atr" (",ro" for the read-only one) for the front end's command line.
    std::vector<std::string> mountArguments() const;

    Disk& disk(unsigned drive);
    const std::vector<Disk>& disks() const { return disks_; }

    // Compares every file with what it must hold; one line for each that differs.
    std::vector<std::string> compareFiles() const;

private:
    std::vector<Disk> disks_;
};

}  // namespace rig
