// Opens each listed module through the binding, exchanges the bytes 1..10 and prints one line:
// the serial number's bytes, the result, the reply and "held" when a second open is refused; then
// one line per module that a watch reports present: "arrived", the IDs and the serial's bytes.
// bindings/python/tests/guest/hidraw_check.py compares this with what the Python package sees.
using System;
using System.Linq;
using Ksv;

static class GuestProbe
{
    static string Hex(params byte[] bytes) => string.Concat(bytes.Select(b => b.ToString("x2")));

    static void Main()
    {
        foreach (string serial in KsvHid.ListModules())
        {
            using (Module module = KsvHid.Open(serial))
            {
                Reply reply = module.Exchange(Enumerable.Range(1, 10).Select(b => (byte)b).ToArray());
                bool held = false;
                try { KsvHid.Open(serial).Dispose(); }
                catch (ModuleNotFoundException) { held = true; }
                Console.WriteLine(Hex(serial.Select(c => (byte)c).ToArray()) + " " + (int)reply.Result +
                                  " " + Hex(reply.ToArray()) + (held ? " held" : ""));
            }
        }
        using (Watch watch = KsvHid.Watch())
        {
            for (WatchEvent e; (e = watch.Next(2000)) != null;)
                Console.WriteLine(e.Kind.ToString().ToLowerInvariant() + " " + e.VendorId.ToString("x4") +
                                  ":" + e.ProductId.ToString("x4") + " " +
                                  Hex(e.Serial.Select(c => (byte)c).ToArray()) + (e.Free == true ? " free" : ""));
        }
    }
}
