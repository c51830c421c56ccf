// A .NET application as a user of the NuGet package writes it: the version, the modules, one
// exchange with KSV-SIM-0001 when there are modules, and which native library the process loaded
// (from /proc/self/maps), one fact a line for the release check to compare.
using System;
using System.IO;
using System.Linq;
using Ksv;

static class Consumer
{
    static int Main()
    {
        Console.WriteLine("version " + KsvHid.Version);
        var modules = KsvHid.ListModules();
        Console.WriteLine("modules " + modules.Count);
        foreach (var path in File.ReadAllLines("/proc/self/maps")
                     .Where(line => line.Contains("libKSVHidApi"))
                     .Select(line => line.Substring(line.IndexOf('/')))
                     .Distinct())
        {
            Console.WriteLine("native " + path);
        }
        if (modules.Count == 0)
        {
            return 0;
        }
        using (Module module = KsvHid.Open("KSV-SIM-0001"))
        {
            Reply reply = module.Exchange(new byte[] { 0x10, 0x20, 0x30 });
            Console.WriteLine("result " + reply.Result);
            Console.WriteLine("reply " + BitConverter.ToString(reply.ToArray(), 0, 4));
        }
        return 0;
    }
}
