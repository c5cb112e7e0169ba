-- The till's reference data for the lookup tests, with the awkward rows on
-- purpose: missing and empty client ids, a card whose client is gone,
-- Cyrillic and 4-byte characters, a card number that LIKE would match.
-- Values holding quotes and backslashes are inserted by the tests with bound
-- parameters, so they arrive exactly.

INSERT INTO client (idClient, name) VALUES
    ('10', 'Тестов Тест'),
    ('11', 'Иванова-Петрова Мария Ильинична'),
    ('13', 'Смайлов 😀 Эмодзи'),
    ('клиент-14', 'Ёлкина Ёлка');

INSERT INTO card (number, idclient, idcard) VALUES
    ('1001', '10', '7001'),
    ('12345', '11', '7002'),
    ('1002', NULL, '7003'),
    ('1003', '', '7004'),
    ('1004', '99', '7005'),
    ('000123', '10', '7007'),
    ('1005', '13', '7008'),
    ('1006', 'клиент-14', 'К-7009');

INSERT INTO mol (code, name) VALUES
    ('17', 'Кассирова Мария'),
    ('18', 'Петров'),
    ('Ж-1', 'Жукова 𝄞 Ксения');
