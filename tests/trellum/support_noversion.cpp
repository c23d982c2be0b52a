// A module without a version resource, loaded by the version reader's tests.
extern "C" __declspec(dllexport) int support_noversion_marker()
{
    return 1;
}
