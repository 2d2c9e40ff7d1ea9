import { readFileSync, readdirSync } from 'node:fs';

// The highest resident memory (VmHWM, bytes) that any renderer of the
// Chromium started with the profile folder `profile` has had: a page's main
// thread and its workers live there.
export function rendererPeak(profile) {
  const processes = readdirSync('/proc').filter((pid) => /^\d+$/.test(pid)).map((pid) => {
    try {
      return { pid, cmdline: readFileSync(`/proc/${pid}/cmdline`, 'utf8'),
        status: readFileSync(`/proc/${pid}/status`, 'utf8') };
    } catch {
      return null; // ended meanwhile
    }
  }).filter(Boolean);
  const ours = new Set(processes.filter((p) => p.cmdline.includes(`--user-data-dir=${profile}`)).map((p) => p.pid));
  for (let grew = true; grew;) { // and their descendants
    grew = false;
    for (const p of processes) {
      const parent = p.status.match(/^PPid:\s+(\d+)/m)[1];
      if (ours.has(parent) && !ours.has(p.pid)) {
        ours.add(p.pid);
        grew = true;
      }
    }
  }
  const peaks = processes.filter((p) => ours.has(p.pid) && p.cmdline.includes('--type=renderer'))
    .map((p) => Number(p.status.match(/^VmHWM:\s+(\d+) kB/m)?.[1] ?? 0) * 1024);
  if (!peaks.length) throw new Error('no renderer found');
  return Math.max(...peaks);
}
