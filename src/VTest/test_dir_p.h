// Test seam of VTestDir. Not installed.
#ifndef VORNLIB_VTEST_TEST_DIR_P_H
#define VORNLIB_VTEST_TEST_DIR_P_H

// The ways clean() finds the mount of a directory, made to act as missing, as
// on older kernels, under a seccomp filter or on file systems without file
// handles. Thread-safe: one atomic load or store.
struct VTestDirTestAccess
{
    enum Missing {
        StatxMountId = 1, // statx answers without STATX_MNT_ID
        Statx = 2,        // statx fails with ENOSYS
        FileHandles = 4,  // name_to_handle_at fails with EOPNOTSUPP
        FdInfo = 8        // /proc/self/fdinfo cannot be read
    };
    // A mask of Missing values; 0 for the system as it is.
    static void setMissing(int missing);
};

#endif
