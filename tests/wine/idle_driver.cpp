// Stands in for nmeafilt.sys as the service Wine starts, so that the installation check sees a
// running kernel driver. It does nothing: Wine's serial path never goes through it.
typedef long NTSTATUS;

extern "C" NTSTATUS __stdcall DriverEntry(void*, void*)
{
    return 0;
}
