// The binding over the real library and hidraw, against virtual modules (run in the test guest).
//
//     mono KsvHid.GuestCheck.exe VIRTUAL_MODULE
//
// Creates a keyboard and two modules with ksv-virtual-module, then lists, opens and exchanges
// through the binding. Exits 0 when every check holds; prints each failure otherwise.
using System;
using System.Diagnostics;
using System.Linq;
using Ksv;

static class GuestCheck
{
    static int failures;

    static void Check(bool condition, string what)
    {
        Console.WriteLine((condition ? "ok   " : "FAIL ") + what);
        if (!condition)
            ++failures;
    }

    static int Main(string[] args)
    {
        var start = new ProcessStartInfo(args[0],
            "--control - keyboard:vid=0x046d,pid=0xc31c,serial=DN-KBD,id=kbd " +
            "module:vid=0x17fe,pid=0x82cd,serial=DN-1,xor=0xff,id=one " +
            "module:vid=0x10c4,pid=0x82cd,serial=DN-\u00b5-2,reply-id=2,id=two")
            { UseShellExecute = false, RedirectStandardInput = true, RedirectStandardOutput = true };
        using (Process devices = Process.Start(start))
        {
            string line;
            while ((line = devices.StandardOutput.ReadLine()) != null && !line.StartsWith("ready"))
                Console.WriteLine("virtual module: " + line);
            if (line == null)
                return Fail("ksv-virtual-module ended before its devices were ready");
            Run();
            devices.StandardInput.Close(); // end of input removes the devices
            devices.WaitForExit(10000);
        }
        return failures == 0 ? 0 : 1;
    }

    static int Fail(string why)
    {
        Console.WriteLine(why);
        return 1;
    }

    static void Run()
    {
        Check(KsvHid.Version == new Version(1, 3, 170), "version " + KsvHid.Version);
        var serials = KsvHid.ListModules();
        Check(serials.SequenceEqual(new[] { "DN-1", "DN-\u00b5-2" }), "list: " + string.Join(", ", serials));
        var command = Enumerable.Range(1, 10).Select(b => (byte)b).ToArray();
        using (Module module = KsvHid.Open("DN-1"))
        {
            Reply reply = module.Exchange(command);
            var expected = command.Concat(new byte[53]).Select(b => (byte)(b ^ 0xff));
            Check(reply.Result == Result.ReportId1 && reply.Data.SequenceEqual(expected), "exchange on DN-1");
            Check(KsvHid.ListModules().SequenceEqual(new[] { "DN-\u00b5-2" }), "an open module is not listed");
            try
            {
                KsvHid.Open("DN-1").Dispose();
                Check(false, "a module already open is not opened again");
            }
            catch (ModuleNotFoundException)
            {
                Check(true, "a module already open is not opened again");
            }
        }
        using (Module module = KsvHid.Open("DN-\u00b5-2"))
        {
            Reply reply = module.Exchange(new byte[] { 0x42 });
            Check(reply.Result == Result.ReportId2 && reply.Data[0] == 0x42 && reply.Data.Skip(1).All(b => b == 0),
                  "exchange on DN-\u00b5-2");
        }
    }
}
