"""One record of what inspect found, which both the text and the JSON are
printed from, so the two can never say different things."""
import dataclasses


@dataclasses.dataclass
class Line:
    text: str
    ok: bool


@dataclasses.dataclass
class Section:
    title: str
    lines: list = dataclasses.field(default_factory=list)

    def line(self, text, ok=True):
        self.lines.append(Line(text, ok))


@dataclasses.dataclass
class Report:
    file: str
    size: int
    sections: list = dataclasses.field(default_factory=list)
    # {"exit_code", "detail"} of the payload stage, None when it did not run.
    outcome: dict | None = None
    signature: dict | None = None
    # {"statement", "subject", "problems"} with --provenance, else None.
    provenance: dict | None = None

    def section(self, title):
        self.sections.append(Section(title))
        return self.sections[-1]

    @property
    def problems(self):
        return [f'{section.title}: {line.text}' for section in self.sections
                for line in section.lines if not line.ok]

    @property
    def ok(self):
        return not self.problems

    def as_json(self):
        return {'file': self.file, 'size': self.size, 'ok': self.ok,
                'problems': self.problems, 'outcome': self.outcome,
                'signature': self.signature, 'provenance': self.provenance,
                'sections': [dataclasses.asdict(section) for section in self.sections]}

    def as_text(self):
        """Each finding on its line, '!!' marking the ones that fail the verdict."""
        text = [f'{self.file}: {self.size:,} bytes']
        for section in self.sections:
            text += ['', section.title]
            text += [('    ' if line.ok else '!!  ') + line.text for line in section.lines]
        count = len(self.problems)
        text += ['', 'verdict: ' + ('ready to ship' if self.ok else
                                    f'NOT ready, {count} problem{"s" if count > 1 else ""}')]
        return '\n'.join(text)
